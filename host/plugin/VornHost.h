/*
 * The host interface for plug-in libraries: the plain C functions that the
 * extension exports by name and that a plug-in binds on the host module handed
 * to its registration entry. C and C++ alike include this header.
 *
 * Conventions of both families:
 * - Handles are opaque pointers to the host's own objects. A handle is
 *   "borrowed" unless its row says "caller's": a borrowed handle stays the
 *   host's and must not be freed; a caller's handle holds one reference (or is
 *   owned) and goes back through the free function its row names.
 * - Texts go in as (pointer, length); a length of -1 means up to the NUL. A
 *   null text with a nonzero length, or a length below -1, is refused with the
 *   function's failure value. The older family takes NUL-terminated texts.
 * - Texts that come back point into host storage and stay valid until the
 *   object changes or goes. Buffers marked "caller's" come from the host heap
 *   (malloc): free them with vorn_free or vrProgram_Free, which are one heap.
 * - Lengths and plain results are int32_t; sizes, positions and times int64_t;
 *   handles and data words pointer-sized; doubles by value.
 * - The older family answers 0 for a successful action and -1 for a failure.
 *
 * Each family is kept once, as an X-macro list: the prototypes below, the
 * export lists, the plug-in binding table and the tests all expand it.
 * X(result type, name, (parameters), (arguments)).
 */
#ifndef VORN_HOST_H
#define VORN_HOST_H

#include <stdint.h>

#ifdef __cplusplus
namespace vorn {
class VornVM;
class Variable;
class VariableList;
class VariableHash;
class File;
class NetworkConnection;
class HTTPResponseStream;
class ExternalConfig;
class SystemLibrary;
class ExternalDatabase;
class ExternalDatabaseView;
class ExternalDatabaseVariable;
struct ExternalFunctionEntry;
} // namespace vorn
typedef vorn::VornVM VornProgram;
typedef vorn::Variable VornVariable;
typedef vorn::VariableList VornVariableList;
typedef vorn::VariableHash VornVariableHash;
typedef vorn::File VornFile;
typedef vorn::NetworkConnection VornConnection;
typedef vorn::HTTPResponseStream VornHTTPResponse;
typedef vorn::ExternalConfig VornConfig;
typedef vorn::SystemLibrary VornSystemLibrary;
typedef vorn::ExternalDatabase VornDatabase;
typedef vorn::ExternalDatabaseView VornDatabaseView;
typedef vorn::ExternalDatabaseVariable VornDatabaseVariable;
typedef vorn::ExternalFunctionEntry VornExternalFunction;
#else
typedef struct VornProgram VornProgram;
typedef struct VornVariable VornVariable;
typedef struct VornVariableList VornVariableList;
typedef struct VornVariableHash VornVariableHash;
typedef struct VornFile VornFile;
typedef struct VornConnection VornConnection;
typedef struct VornHTTPResponse VornHTTPResponse;
typedef struct VornConfig VornConfig;
typedef struct VornSystemLibrary VornSystemLibrary;
typedef struct VornDatabase VornDatabase;
typedef struct VornDatabaseView VornDatabaseView;
typedef struct VornDatabaseVariable VornDatabaseVariable;
typedef struct VornExternalFunction VornExternalFunction;
#endif

/* Releases data registered with vrProgram_Register_Persistent; it gets the
 * request's top program (null once that has gone) and may call the host. */
typedef void (*VornPersistentRelease)(VornProgram* program, void* data);
/* The plug-in's registration entry, "vorn_register_library". */
typedef void (*VornRegisterLibrary)(void* hostModule);

/* The older family: 62 functions. */
#define VORN_HOST_OLDER_FUNCTIONS(X)                                                                         \
    /* Memory: the host heap. */                                                                             \
    X(void*, vorn_alloc, (int64_t size), (size)) /* caller's; null for a size below 0 */                     \
    X(void*, vorn_realloc, (void* block, int64_t size), (block, size))                                       \
    X(void, vorn_free, (void* block), (block))                                                               \
    /* Files. Location 1 is the script directory, any other the data directory. */                           \
    X(VornFile*, vorn_file_open, (VornProgram * program, int32_t location, const char* path, int32_t mode),  \
      (program, location, path, mode)) /* caller's: vorn_file_close */                                       \
    X(void, vorn_file_close, (VornFile * file), (file))                                                      \
    X(int32_t, vorn_file_read, (VornFile * file, void* buffer, int32_t length), (file, buffer, length))      \
    X(int32_t, vorn_file_write, (VornFile * file, const void* data, int32_t length), (file, data, length))   \
    X(int64_t, vorn_file_seek, (VornFile * file, int64_t position), (file, position))                        \
    X(int64_t, vorn_file_tell, (VornFile * file), (file))                                                    \
    X(int64_t, vorn_file_length, (VornFile * file), (file))                                                  \
    X(int32_t, vorn_file_lock, (VornFile * file, int32_t mode, int64_t offset, int64_t length),              \
      (file, mode, offset, length)) /* mode 2 exclusive, any other shared */                                 \
    X(int32_t, vorn_file_release, (VornFile * file, int64_t offset, int64_t length), (file, offset, length)) \
    X(const char*, vorn_file_error, (VornProgram * program, VornFile * file), (program, file))               \
    X(int32_t, vorn_file_exists, (VornProgram * program, int32_t location, const char* path),                \
      (program, location, path))                                                                             \
    X(int32_t, vorn_file_isdirectory, (VornProgram * program, int32_t location, const char* path),           \
      (program, location, path))                                                                             \
    X(int64_t, vorn_file_size, (VornProgram * program, int32_t location, const char* path),                  \
      (program, location, path))                                                                             \
    X(int32_t, vorn_file_mode, (VornProgram * program, int32_t location, const char* path),                  \
      (program, location, path))                                                                             \
    X(int32_t, vorn_file_changemode,                                                                         \
      (VornProgram * program, int32_t location, const char* path, int32_t mode),                             \
      (program, location, path, mode))                                                                       \
    X(int32_t, vorn_file_delete, (VornProgram * program, int32_t location, const char* path),                \
      (program, location, path))                                                                             \
    X(int32_t, vorn_file_rename,                                                                             \
      (VornProgram * program, int32_t location, const char* path, int32_t newLocation, const char* newPath), \
      (program, location, path, newLocation, newPath))                                                       \
    X(int32_t, vorn_file_makedirectory, (VornProgram * program, int32_t location, const char* path),         \
      (program, location, path))                                                                             \
    X(int32_t, vorn_file_removedirectory, (VornProgram * program, int32_t location, const char* path),       \
      (program, location, path))                                                                             \
    X(int32_t, vorn_file_pathseparator, (VornProgram * program), (program))                                  \
    X(int32_t, vorn_file_resolve, (VornProgram * program), (program)) /* no longer supported: 0 */           \
    /* Network. */                                                                                           \
    X(VornConnection*, vorn_network_connect, (VornProgram * program, const char* host, int32_t port),        \
      (program, host, port)) /* caller's: vorn_network_close */                                              \
    X(VornConnection*, vorn_network_openurl,                                                                 \
      (VornProgram * program, const char* method, const char* url, const char* body,                         \
       const char* contentType, int32_t bodyLength),                                                         \
      (program, method, url, body, contentType, bodyLength)) /* caller's */                                  \
    X(int32_t, vorn_network_read,                                                                            \
      (VornConnection * connection, void* buffer, int32_t length, int32_t timeout),                          \
      (connection, buffer, length, timeout))                                                                 \
    X(int32_t, vorn_network_readline,                                                                        \
      (VornConnection * connection, char* buffer, int32_t size, int32_t timeout),                            \
      (connection, buffer, size, timeout))                                                                   \
    X(int32_t, vorn_network_write, (VornConnection * connection, const void* data, int32_t length),          \
      (connection, data, length))                                                                            \
    X(void, vorn_network_close, (VornConnection * connection), (connection))                                 \
    X(const char*, vorn_network_error, (VornProgram * program, VornConnection * connection),                 \
      (program, connection))                                                                                 \
    X(int32_t, vorn_network_gethostaddress,                                                                  \
      (VornProgram * program, const char* host, char* buffer, int32_t size), (program, host, buffer, size))  \
    X(int32_t, vorn_network_isipaddress, (VornProgram * program, const char* text), (program, text))         \
    /* Variables. */                                                                                         \
    X(VornVariable*, vorn_variable_new, (const char* name, const char* value),                               \
      (name, value)) /* caller's: vorn_variable_delete */                                                    \
    X(void, vorn_variable_delete, (VornVariable * variable), (variable)) /* releases one reference */        \
    X(const char*, vorn_variable_name, (VornVariable * variable), (variable))                                \
    X(const char*, vorn_variable_value, (VornVariable * variable), (variable))                               \
    X(int32_t, vorn_variable_setvalue, (VornVariable * variable, const char* value), (variable, value))      \
    X(int32_t, vorn_variable_aggregate_type, (VornVariable * variable), (variable)) /* 2, 1 or 0 */          \
    X(VornVariable*, vorn_variable_array_element, (VornVariable * variable, int32_t index, int32_t create),  \
      (variable, index, create)) /* borrowed */                                                              \
    X(VornVariable*, vorn_variable_structure_member,                                                         \
      (VornVariable * variable, const char* name, int32_t create), (variable, name, create)) /* borrowed */  \
    X(int32_t, vorn_variable_set_array_element_value,                                                        \
      (VornVariable * variable, int32_t index, const char* value), (variable, index, value))                 \
    X(int32_t, vorn_variable_set_structure_member_value,                                                     \
      (VornVariable * variable, const char* name, const char* value), (variable, name, value))               \
    X(int32_t, vorn_variable_array_elements, (VornVariable * variable), (variable))                          \
    X(int32_t, vorn_variable_array_max, (VornVariable * variable), (variable))                               \
    X(int32_t, vorn_variable_array_min, (VornVariable * variable), (variable))                               \
    X(VornVariableList*, vorn_variable_aggregate_list, (VornVariable * variable),                            \
      (variable)) /* caller's: vorn_variablelist_delete; holds a reference on each element */                \
    /* Variable lists. */                                                                                    \
    X(VornVariableList*, vorn_variablelist_new, (void), ()) /* caller's */                                   \
    X(void, vorn_variablelist_delete, (VornVariableList * list), (list))                                     \
    X(int32_t, vorn_variablelist_dump, (VornVariableList * list), (list))                                    \
    X(VornVariable*, vorn_variablelist_first, (VornVariableList * list), (list)) /* borrowed */              \
    X(VornVariable*, vorn_variablelist_next, (VornVariableList * list), (list))                              \
    X(VornVariable*, vorn_variablelist_current, (VornVariableList * list), (list))                           \
    X(VornVariable*, vorn_variablelist_find, (VornVariableList * list, const char* name), (list, name))      \
    X(int32_t, vorn_variablelist_setvariable,                                                                \
      (VornVariableList * list, const char* name, const char* value), (list, name, value))                   \
    X(char*, vorn_variablelist_to_url, (const char* url, VornVariableList* list),                            \
      (url, list)) /* caller's host-heap text */                                                             \
    /* Variable trees (the newer family's variable hashes). */                                               \
    X(VornVariableHash*, vorn_variabletree_new, (void), ()) /* caller's: vorn_variabletree_delete */         \
    X(void, vorn_variabletree_delete, (VornVariableHash * tree), (tree))                                     \
    X(int32_t, vorn_variabletree_dump, (VornVariableHash * tree), (tree))                                    \
    X(int32_t, vorn_variabletree_insert, (VornVariableHash * tree, VornVariable * variable),                 \
      (tree, variable)) /* the tree takes over the caller's reference */                                     \
    X(VornVariable*, vorn_variabletree_find, (VornVariableHash * tree, const char* name), (tree, name))      \
    X(int32_t, vorn_variabletree_setvariable,                                                                \
      (VornVariableHash * tree, const char* name, const char* value), (tree, name, value))

/* The newer family: 155 functions, in the order plug-ins bind them. */
#define VORN_HOST_VR_FUNCTIONS(X)                                                                            \
    /* Program. */                                                                                           \
    X(VornVariable*, vrProgram_Lookup_Variable, (VornProgram * program, const char* name, int32_t length),   \
      (program, name, length)) /* borrowed; may create a local or global */                                  \
    X(int32_t, vrProgram_Local_Variables, (VornProgram * program, VornVariableList * list),                  \
      (program, list)) /* appends; the number appended, -1 on failure */                                     \
    X(int32_t, vrProgram_System_Variables, (VornProgram * program, VornVariableList * list),                 \
      (program, list))                                                                                       \
    X(int32_t, vrProgram_Global_Variables, (VornProgram * program, VornVariableList * list),                 \
      (program, list))                                                                                       \
    X(int32_t, vrProgram_Compare, (VornProgram * program, VornVariable * a, VornVariable * b),               \
      (program, a, b))                                                                                       \
    X(int32_t, vrProgram_SetLanguage, (VornProgram * program, const char* text, int32_t length),             \
      (program, text, length))                                                                               \
    X(int32_t, vrProgram_SetDefaultLanguage, (VornProgram * program, const char* text, int32_t length),      \
      (program, text, length))                                                                               \
    X(int32_t, vrProgram_SetDefaultDatabase, (VornProgram * program, const char* text, int32_t length),      \
      (program, text, length))                                                                               \
    X(void*, vrProgram_Allocate, (VornProgram * program, int64_t size), (program, size)) /* caller's */      \
    X(void, vrProgram_Free, (VornProgram * program, void* block), (program, block))                          \
    X(int32_t, vrProgram_Output_Header,                                                                      \
      (VornProgram * program, char* name, int32_t nameLength, int32_t nameOwned, char* value,                \
       int32_t valueLength, int32_t valueOwned),                                                             \
      (program, name, nameLength, nameOwned, value, valueLength, valueOwned)) /* owned: host-heap buffers */ \
    X(int32_t, vrProgram_Output, (VornProgram * program, const char* text, int32_t length),                  \
      (program, text, length))                                                                               \
    X(int32_t, vrProgram_Output_Flush, (VornProgram * program), (program))                                   \
    X(char*, vrProgram_Attribute_Encode,                                                                     \
      (VornProgram * program, const char* text, int32_t length, int32_t* outLength, int32_t* outSize),       \
      (program, text, length, outLength, outSize)) /* caller's */                                            \
    X(char*, vrProgram_Attribute_Decode,                                                                     \
      (VornProgram * program, const char* text, int32_t length, int32_t* outLength, int32_t* outSize),       \
      (program, text, length, outLength, outSize))                                                           \
    X(char*, vrProgram_Entity_Encode,                                                                        \
      (VornProgram * program, const char* text, int32_t length, int32_t* outLength, int32_t* outSize),       \
      (program, text, length, outLength, outSize))                                                           \
    X(char*, vrProgram_Entity_Decode,                                                                        \
      (VornProgram * program, const char* text, int32_t length, int32_t* outLength, int32_t* outSize),       \
      (program, text, length, outLength, outSize))                                                           \
    X(void*, vrProgram_Lookup_Persistent, (VornProgram * program, const char* name, int32_t length),         \
      (program, name, length))                                                                               \
    X(int32_t, vrProgram_Register_Persistent,                                                                \
      (VornProgram * program, const char* name, int32_t length, void* data, VornPersistentRelease release),  \
      (program, name, length, data, release)) /* null release: freed from the host heap */                   \
    X(void*, vrProgram_SSL_Function, (VornProgram * program, const char* name), (program, name))             \
    X(VornSystemLibrary*, vrProgram_SystemLibrary, (VornProgram * program, const char* name),                \
      (program, name)) /* borrowed */                                                                        \
    X(char*, vrProgram_MakeSessionID, (VornProgram * program, int32_t * outLength),                          \
      (program, outLength)) /* caller's */                                                                   \
    X(int32_t, vrProgram_RunFunction,                                                                        \
      (VornProgram * program, const char* name, int32_t length, VornVariableList* parameters,                \
       VornVariable* result),                                                                                \
      (program, name, length, parameters, result)) /* nonzero on success */                                  \
    X(void*, vrProgram_Compile_Dynamic_Expression,                                                           \
      (VornProgram * program, const char* text, int32_t length, char** outError, int32_t* outErrorLength),   \
      (program, text, length, outError, outErrorLength)) /* code handle; *outError is the caller's */        \
    X(int32_t, vrProgram_Execute_Dynamic_Expression,                                                         \
      (VornProgram * program, void* code, VornVariableHash* locals, VornVariable* result),                   \
      (program, code, locals, result))                                                                       \
    X(int32_t, vrProgram_Execute_Dynamic_Expression_Boolean,                                                 \
      (VornProgram * program, void* code, VornVariableHash* locals, int32_t* outFlag),                       \
      (program, code, locals, outFlag))                                                                      \
    X(VornVariableHash*, vrProgram_Global_VariableHash, (VornProgram * program), (program)) /* borrowed */   \
    X(VornVariableHash*, vrProgram_System_VariableHash, (VornProgram * program), (program)) /* borrowed */   \
    X(int32_t, vrProgram_ResetGlobalTimeout, (VornProgram * program), (program))                             \
    X(int32_t, vrProgram_Sleep, (VornProgram * program, int32_t milliseconds),                               \
      (program, milliseconds)) /* 258 when the time passed, 0 when the request was stopped */                \
    X(int32_t, vrProgram_FatalError, (VornProgram * program, const char* text, int32_t length),              \
      (program, text, length))                                                                               \
    /* System libraries. */                                                                                  \
    X(void*, vrSystemLibrary_GetFunction, (VornSystemLibrary * library, const char* name), (library, name))  \
    X(const char*, vrSystemLibrary_Error,                                                                    \
      (VornProgram * program, VornSystemLibrary * library, int32_t * outLength),                             \
      (program, library, outLength)) /* may be null with length 0 */                                         \
    /* Variables. An index below 0 counts as 0. */                                                           \
    X(VornVariable*, vrVariable_Allocate,                                                                    \
      (const char* name, int32_t nameLength, const char* value, int32_t valueLength),                        \
      (name, nameLength, value, valueLength)) /* caller's: vrVariable_Free */                                \
    X(VornVariable*, vrVariable_Allocate_Copy, (VornVariable * variable), (variable)) /* caller's */         \
    X(VornVariable*, vrVariable_NextIdentity, (VornVariable * variable), (variable))  /* borrowed */         \
    X(VornVariable*, vrVariable_RealIdentity, (VornVariable * variable), (variable))  /* borrowed */         \
    X(int32_t, vrVariable_Make_Reference, (VornVariable * variable, VornVariable * target),                  \
      (variable, target))                                                                                    \
    X(const char*, vrVariable_Name, (VornVariable * variable, int32_t * outLength),                          \
      (variable, outLength)) /* may be null with length 0 */                                                 \
    X(int32_t, vrVariable_Value_Integer, (VornVariable * variable), (variable))                              \
    X(double, vrVariable_Value_Double, (VornVariable * variable), (variable))                                \
    X(const char*, vrVariable_Value, (VornVariable * variable, int32_t * outLength),                         \
      (variable, outLength)) /* may be null with length 0 */                                                 \
    X(char*, vrVariable_Value_NS, (VornVariable * variable, int32_t * outLength),                            \
      (variable, outLength)) /* caller's */                                                                  \
    X(int32_t, vrVariable_SetValue_Integer, (VornVariable * variable, int32_t value), (variable, value))     \
    X(int32_t, vrVariable_SetValue_Double, (VornVariable * variable, double value), (variable, value))       \
    X(int32_t, vrVariable_SetValue, (VornVariable * variable, const char* text, int32_t length),             \
      (variable, text, length))                                                                              \
    X(int32_t, vrVariable_SetValue_Variable, (VornVariable * variable, VornVariable * source),               \
      (variable, source))                                                                                    \
    X(int32_t, vrVariable_SetValue_Nocopy,                                                                   \
      (VornVariable * variable, char* buffer, int32_t length, int32_t size),                                 \
      (variable, buffer, length, size)) /* takes the host-heap buffer unless the variable is null */         \
    X(void, vrVariable_Free, (VornVariable * variable), (variable)) /* releases one reference */             \
    X(int32_t, vrVariable_Aggregate_Type, (VornVariable * variable), (variable)) /* 0, 1, 2 or -1 */         \
    X(int32_t, vrVariable_Aggregate_List, (VornVariable * variable, VornVariableList * list),                \
      (variable, list))                                                                                      \
    X(int32_t, vrVariable_Set_Array_Element, (int32_t index, VornVariable * element, VornVariable * array),  \
      (index, element, array)) /* the array takes a reference of its own */                                  \
    X(int32_t, vrVariable_Insert_Array_Element,                                                              \
      (int32_t index, VornVariable * element, VornVariable * array), (index, element, array))                \
    X(int32_t, vrVariable_Delete_Array_Elements,                                                             \
      (int32_t start, int32_t count, int32_t shift, VornVariable * array), (start, count, shift, array))     \
    X(int32_t, vrVariable_Array_Merge,                                                                       \
      (VornVariable * source, int32_t sourceStart, int32_t count, VornVariable * destination,                \
       int32_t destinationStart, int32_t copy),                                                              \
      (source, sourceStart, count, destination, destinationStart, copy))                                     \
    X(int32_t, vrVariable_Array_Copy,                                                                        \
      (VornVariable * source, int32_t sourceStart, int32_t count, VornVariable * destination,                \
       int32_t destinationStart, int32_t copy),                                                              \
      (source, sourceStart, count, destination, destinationStart, copy))                                     \
    X(int32_t, vrVariable_Set_Struct_Member,                                                                 \
      (const char* name, int32_t length, VornVariable* element, VornVariable* structure),                    \
      (name, length, element, structure))                                                                    \
    X(int32_t, vrVariable_Delete_Struct_Member, (const char* name, int32_t length, VornVariable* structure), \
      (name, length, structure))                                                                             \
    X(VornVariable*, vrVariable_Array_Element, (int32_t index, VornVariable * array, int32_t create),        \
      (index, array, create)) /* borrowed */                                                                 \
    X(VornVariable*, vrVariable_Struct_Member,                                                               \
      (const char* name, int32_t length, VornVariable* structure, int32_t create),                           \
      (name, length, structure, create)) /* borrowed */                                                      \
    X(int32_t, vrVariable_Array_Max, (VornVariable * array), (array))                                        \
    X(int32_t, vrVariable_Array_Min, (VornVariable * array), (array))                                        \
    X(int32_t, vrVariable_Array_Next, (VornVariable * array, int32_t index), (array, index))                 \
    X(int32_t, vrVariable_Array_Previous, (VornVariable * array, int32_t index), (array, index))             \
    X(int32_t, vrVariable_ElementsUsed, (VornVariable * variable), (variable))                               \
    /* Variable lists; a list holds a reference on each of its variables. */                                 \
    X(VornVariableList*, vrVariableList_Allocate, (void), ()) /* caller's: vrVariableList_Free */            \
    X(VornVariable*, vrVariableList_First, (VornVariableList * list), (list)) /* borrowed */                 \
    X(VornVariable*, vrVariableList_Current, (VornVariableList * list), (list))                              \
    X(VornVariable*, vrVariableList_Next, (VornVariableList * list), (list))                                 \
    X(int32_t, vrVariableList_Entries, (VornVariableList * list), (list))                                    \
    X(VornVariable*, vrVariableList_Find, (VornVariableList * list, const char* name, int32_t length),       \
      (list, name, length))                                                                                  \
    X(int32_t, vrVariableList_Dump, (VornVariableList * list), (list))                                       \
    X(VornVariable*, vrVariableList_SetVariable,                                                             \
      (VornVariableList * list, const char* name, int32_t nameLength, const char* value,                     \
       int32_t valueLength),                                                                                 \
      (list, name, nameLength, value, valueLength)) /* borrowed */                                           \
    X(int32_t, vrVariableList_Insert, (VornVariableList * list, VornVariable * variable), (list, variable))  \
    X(void, vrVariableList_Free, (VornVariableList * list), (list))                                          \
    /* Variable hashes. */                                                                                   \
    X(VornVariableHash*, vrVariableHash_Allocate, (void), ()) /* caller's: vrVariableHash_Free */            \
    X(VornVariable*, vrVariableHash_Index, (VornVariableHash * hash, int32_t position), (hash, position))    \
    X(VornVariable*, vrVariableHash_Find, (VornVariableHash * hash, const char* name, int32_t length),       \
      (hash, name, length)) /* borrowed */                                                                   \
    X(int32_t, vrVariableHash_Insert, (VornVariableHash * hash, VornVariable * variable),                    \
      (hash, variable)) /* the hash takes over the caller's reference */                                     \
    X(int32_t, vrVariableHash_Dump, (VornVariableHash * hash), (hash))                                       \
    X(VornVariable*, vrVariableHash_SetVariable,                                                             \
      (VornVariableHash * hash, const char* name, int32_t nameLength, const char* value,                     \
       int32_t valueLength),                                                                                 \
      (hash, name, nameLength, value, valueLength)) /* borrowed */                                           \
    X(int32_t, vrVariableHash_ReplaceVariable, (VornVariableHash * hash, VornVariable * variable),           \
      (hash, variable)) /* the hash takes over the caller's reference */                                     \
    X(void, vrVariableHash_Free, (VornVariableHash * hash), (hash))                                          \
    /* Network. */                                                                                           \
    X(int32_t, vrNetwork_Is_IP_Address, (VornProgram * program, const char* text), (program, text))          \
    X(int32_t, vrNetwork_Get_Host_Address,                                                                   \
      (VornProgram * program, const char* host, char* buffer, int32_t size), (program, host, buffer, size))  \
    X(VornConnection*, vrNetwork_Connect, (VornProgram * program, const char* host, int32_t port),           \
      (program, host, port)) /* caller's: vrNetwork_Close */                                                 \
    X(VornConnection*, vrNetwork_Connect_SSL, (VornProgram * program, const char* host, int32_t port),       \
      (program, host, port)) /* caller's */                                                                  \
    X(VornConnection*, vrNetwork_Open_URL,                                                                   \
      (VornProgram * program, const char* method, const char* url, const char* body,                         \
       const char* contentType, int32_t bodyLength),                                                         \
      (program, method, url, body, contentType, bodyLength)) /* caller's */                                  \
    X(int32_t, vrNetwork_Read, (VornConnection * connection, void* buffer, int32_t length, int32_t timeout), \
      (connection, buffer, length, timeout))                                                                 \
    X(int32_t, vrNetwork_Read_Line,                                                                          \
      (VornConnection * connection, char* buffer, int32_t size, int32_t timeout),                            \
      (connection, buffer, size, timeout))                                                                   \
    X(int32_t, vrNetwork_Write, (VornConnection * connection, const void* data, int32_t length),             \
      (connection, data, length))                                                                            \
    X(void, vrNetwork_Close, (VornConnection * connection), (connection))                                    \
    X(const char*, vrNetwork_Error, (VornProgram * program, VornConnection * connection),                    \
      (program, connection))                                                                                 \
    X(VornHTTPResponse*, vrNetwork_HTTP_Request,                                                             \
      (VornProgram * program, const char* method, const char* url, double version, const char* body,         \
       const char* contentType, int32_t bodyLength),                                                         \
      (program, method, url, version, body, contentType, bodyLength)) /* caller's: vrHTTPResponse_Close */   \
    /* HTTP responses. */                                                                                    \
    X(int32_t, vrHTTPResponse_Status_Code, (VornHTTPResponse * response), (response))                        \
    X(int64_t, vrHTTPResponse_Content_Length, (VornHTTPResponse * response), (response))                     \
    X(int32_t, vrHTTPResponse_Read, (VornHTTPResponse * response, void* buffer, int32_t length),             \
      (response, buffer, length))                                                                            \
    X(void, vrHTTPResponse_Close, (VornHTTPResponse * response), (response))                                 \
    X(const char*, vrHTTPResponse_Error, (VornProgram * program, VornHTTPResponse * response),               \
      (program, response))                                                                                   \
    /* Files. Location 1 is the running script's directory (from the script root when the path starts with a \
       separator), 3 the commerce directory, any other the data directory. */                                \
    X(int32_t, vrFile_Resolve, (VornProgram * program), (program)) /* no longer supported: 0 */              \
    X(VornFile*, vrFile_Open,                                                                                \
      (VornProgram * program, int32_t location, const char* path, int32_t length, int32_t mode),             \
      (program, location, path, length, mode)) /* caller's: vrFile_Close */                                  \
    X(int32_t, vrFile_Delete, (VornProgram * program, int32_t location, const char* path, int32_t length),   \
      (program, location, path, length))                                                                     \
    X(int32_t, vrFile_Rename,                                                                                \
      (VornProgram * program, int32_t location, const char* path, int32_t length, int32_t newLocation,       \
       const char* newPath, int32_t newLength),                                                              \
      (program, location, path, length, newLocation, newPath, newLength))                                    \
    X(int32_t, vrFile_Exists, (VornProgram * program, int32_t location, const char* path, int32_t length),   \
      (program, location, path, length))                                                                     \
    X(int64_t, vrFile_Size, (VornProgram * program, int32_t location, const char* path, int32_t length),     \
      (program, location, path, length))                                                                     \
    X(int64_t, vrFile_Time, (VornProgram * program, int32_t location, const char* path, int32_t length),     \
      (program, location, path, length)) /* seconds since 1970, -1 on failure */                             \
    X(int32_t, vrFile_IsDirectory,                                                                           \
      (VornProgram * program, int32_t location, const char* path, int32_t length),                           \
      (program, location, path, length))                                                                     \
    X(int32_t, vrFile_MakeDirectory,                                                                         \
      (VornProgram * program, int32_t location, const char* path, int32_t length),                           \
      (program, location, path, length))                                                                     \
    X(int32_t, vrFile_RemoveDirectory,                                                                       \
      (VornProgram * program, int32_t location, const char* path, int32_t length),                           \
      (program, location, path, length))                                                                     \
    X(int32_t, vrFile_Mode, (VornProgram * program, int32_t location, const char* path, int32_t length),     \
      (program, location, path, length))                                                                     \
    X(int32_t, vrFile_Change_Mode,                                                                           \
      (VornProgram * program, int32_t location, const char* path, int32_t length, int32_t mode),             \
      (program, location, path, length, mode))                                                               \
    X(int32_t, vrFile_Path_Separator, (VornProgram * program), (program))                                    \
    X(int32_t, vrFile_Copy,                                                                                  \
      (VornProgram * program, int32_t location, const char* path, int32_t length, int32_t targetLocation,    \
       const char* targetPath, int32_t targetLength),                                                        \
      (program, location, path, length, targetLocation, targetPath, targetLength))                           \
    X(int32_t, vrFile_MakeSymbolicLink,                                                                      \
      (VornProgram * program, int32_t location, const char* path, int32_t length, int32_t linkLocation,      \
       const char* linkPath, int32_t linkLength),                                                            \
      (program, location, path, length, linkLocation, linkPath, linkLength))                                 \
    X(int64_t, vrFile_OwnerID, (VornFile * file), (file))                                                    \
    X(int64_t, vrFile_GroupID, (VornFile * file), (file))                                                    \
    X(int32_t, vrFile_Read, (VornFile * file, void* buffer, int32_t length), (file, buffer, length))         \
    X(int32_t, vrFile_Write, (VornFile * file, const void* data, int32_t length), (file, data, length))      \
    X(int64_t, vrFile_Seek, (VornFile * file, int64_t position), (file, position)) /* new position or -1 */  \
    X(int64_t, vrFile_Tell, (VornFile * file), (file))                                                       \
    X(int64_t, vrFile_Length, (VornFile * file), (file))                                                     \
    X(int32_t, vrFile_Lock, (VornFile * file, int32_t mode, int64_t offset, int64_t length),                 \
      (file, mode, offset, length)) /* mode 2 exclusive, any other shared */                                 \
    X(int32_t, vrFile_Release, (VornFile * file, int64_t offset, int64_t length), (file, offset, length))    \
    X(void, vrFile_Close, (VornFile * file), (file))                                                         \
    X(int32_t, vrFile_LockFile, (VornProgram * program, int32_t location, const char* path, int32_t length), \
      (program, location, path, length)) /* 1 taken, 0 timed out, -1 failed */                               \
    X(VornFile*, vrFile_MakeTemporary,                                                                       \
      (VornProgram * program, int32_t location, const char* prefix, int32_t length, int32_t mode,            \
       char** outName, int32_t* outNameLength),                                                              \
      (program, location, prefix, length, mode, outName, outNameLength)) /* caller's file and name */        \
    /* Directories. */                                                                                       \
    X(int32_t, vrDirectory_Listing,                                                                          \
      (VornProgram * program, int32_t location, const char* path, int32_t length, VornVariableList* list),   \
      (program, location, path, length, list)) /* entries appended, -1 on failure */                         \
    X(const char*, vrFile_Error, (VornProgram * program, VornFile * file, int32_t * outLength),              \
      (program, file, outLength)) /* may be null with length 0 */                                            \
    /* Configuration. */                                                                                     \
    X(int32_t, vrConfig_SetValue,                                                                            \
      (VornConfig * config, uint32_t item, char* text, int32_t length, int32_t owned),                       \
      (config, item, text, length, owned)) /* 0 stored, 1 refused; owned: a host-heap buffer */              \
    X(int32_t, vrConfig_SetValue_Integer, (VornConfig * config, uint32_t item, int32_t value),               \
      (config, item, value))                                                                                 \
    X(int32_t, vrConfig_Register_Library_Commerce,                                                           \
      (VornConfig * config, const char* method, const char* path), (config, method, path))                   \
    X(int32_t, vrConfig_Register_Library_Database,                                                           \
      (VornConfig * config, const char* type, const char* path), (config, type, path))                       \
    X(int32_t, vrConfig_Register_Library_Builtin, (VornConfig * config, const char* path), (config, path))   \
    X(int32_t, vrConfig_Register_Library_System, (VornConfig * config, const char* name, const char* path),  \
      (config, name, path))                                                                                  \
    X(int32_t, vrConfig_SetVariable_Global,                                                                  \
      (VornConfig * config, const char* name, int32_t nameLength, const char* value, int32_t valueLength),   \
      (config, name, nameLength, value, valueLength))                                                        \
    X(int32_t, vrConfig_SetVariable_System,                                                                  \
      (VornConfig * config, const char* name, int32_t nameLength, const char* value, int32_t valueLength),   \
      (config, name, nameLength, value, valueLength))                                                        \
    X(int32_t, vrConfig_Set_DefaultErrorSetting,                                                             \
      (VornConfig * config, const char* tag, int32_t length, int32_t flags), (config, tag, length, flags))   \
    /* Databases (the database engine's). */                                                                 \
    X(void, vrDatabase_SetData, (VornDatabase * database, void* data), (database, data))                     \
    X(void*, vrDatabase_data, (VornDatabase * database), (database))                                         \
    X(VornDatabaseView*, vrDatabase_AddView,                                                                 \
      (VornDatabase * database, const char* name, int32_t length, void* data),                               \
      (database, name, length, data)) /* borrowed */                                                         \
    X(void, vrDatabase_SetPrimaryView, (VornDatabase * database, VornDatabaseView * view), (database, view)) \
    X(VornProgram*, vrDatabase_Program, (VornDatabase * database), (database))                               \
    X(VornDatabase*, vrDatabaseView_Database, (VornDatabaseView * view), (view))                             \
    X(void, vrDatabaseView_SetData, (VornDatabaseView * view, void* data), (view, data))                     \
    X(void*, vrDatabaseView_data, (VornDatabaseView * view), (view))                                         \
    X(void, vrDatabaseView_Clear, (VornDatabaseView * view), (view))                                         \
    X(VornDatabaseVariable*, vrDatabaseView_AddVariable,                                                     \
      (VornDatabaseView * view, const char* name, int32_t length, void* data),                               \
      (view, name, length, data)) /* borrowed */                                                             \
    X(int32_t, vrDatabaseView_Commit, (VornDatabaseView * view), (view))                                     \
    X(void, vrDatabaseView_SetDirty, (VornDatabaseView * view), (view))                                      \
    X(VornProgram*, vrDatabaseView_Program, (VornDatabaseView * view), (view))                               \
    X(VornDatabaseView*, vrDatabaseVariable_DatabaseView, (VornDatabaseVariable * variable), (variable))     \
    X(void, vrDatabaseVariable_SetData, (VornDatabaseVariable * variable, void* data), (variable, data))     \
    X(void*, vrDatabaseVariable_data, (VornDatabaseVariable * variable), (variable))                         \
    X(void, vrDatabaseVariable_SetDirty, (VornDatabaseVariable * variable), (variable))                      \
    /* Program, bound last. */                                                                               \
    X(VornExternalFunction*, vrProgram_Lookup_ExternalFunction,                                              \
      (VornProgram * program, const char* name, int32_t length), (program, name, length)) /* borrowed */

#define VORN_HOST_OLDER_COUNT 62
#define VORN_HOST_VR_COUNT 155

/* The host exports every function by name. The binding unit compiled into a
 * plug-in defines VORN_HOST_BINDING: its forwarders of the same names stay
 * private to the plug-in, so the plug-in's calls always go through them. */
#if defined(VORN_HOST_BINDING)
#define VORN_HOST_API __attribute__((visibility("hidden")))
#else
#define VORN_HOST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VORN_HOST_DECLARE(result, name, parameters, arguments) VORN_HOST_API result name parameters;
VORN_HOST_OLDER_FUNCTIONS(VORN_HOST_DECLARE)
VORN_HOST_VR_FUNCTIONS(VORN_HOST_DECLARE)
#undef VORN_HOST_DECLARE

#ifdef __cplusplus
}
#endif

#endif /* VORN_HOST_H */
