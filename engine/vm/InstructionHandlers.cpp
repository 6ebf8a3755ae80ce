// The handler of every word, from the instruction table's handler column:
// the VM's member Op<handler> for a word of the core, the function
// Op<handler>(VornVM&) of its tag group for the others.
#include <type_traits>

#include "engine/program/InstructionSet.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// Of the two ways to run a name, the one that compiles: a name both the core
// and a group define, or neither, is an error here. The core's way is a
// thunk the compiler reduces to a jump into the member.
template <class Member, class Group> constexpr VornVM::Handler Pick(Member member, Group group) {
    constexpr bool core = std::is_invocable_v<Member, VornVM&>;
    static_assert(core != std::is_invocable_v<Group, VornVM&>, "a word's handler is the core's or a group's");
    if constexpr (core)
        return member;
    else
        return group;
}

// A group's handler of a word, looked up here, outside the VM's class, whose
// members would hide the group's functions of the same name; without such a
// function the template drops out.
#define VORN_GROUP_HANDLER(w, mnemonic, a, b, handler, fast)                                                 \
    template <class VM> auto Group##mnemonic(VM& vm) -> decltype(Op##handler(vm)) { Op##handler(vm); }
VORN_INSTRUCTIONS(VORN_GROUP_HANDLER)
#undef VORN_GROUP_HANDLER

} // namespace

VornVM::Handler VornVM::HandlerOf(uint16_t word) {
    switch (word) {
#define VORN_HANDLER_CASE(w, mnemonic, a, b, handler, fast)                                                  \
    case Op_##mnemonic:                                                                                      \
        return Pick([](auto& vm) -> decltype(vm.Op##handler()) { vm.Op##handler(); },                        \
                    [](auto& vm) -> decltype(Group##mnemonic(vm)) { Group##mnemonic(vm); });
        VORN_INSTRUCTIONS(VORN_HANDLER_CASE)
#undef VORN_HANDLER_CASE
    default:
        return nullptr;
    }
}

} // namespace vorn
