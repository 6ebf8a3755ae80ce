// VrDO: running another compiled file, whole (op_do_file) or one call
// expression in it (op_do_function), through the run's context cache.
#include <cstdlib>

#include "engine/app/VornApplication.h"
#include "engine/foundation/Output.h"
#include "engine/vm/DoContext.h"
#include "engine/vm/TagGroups.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// VrDO runs nested on this thread: each nests the interpreter loop.
thread_local int32_t doNesting = 0;

// Runs a context's program (expression null) or a compiled call expression
// of it on vm's stack and scope; 0 (vm aborted too) when the sub-program
// aborted.
int RunDoContext(VornVM& vm, DoContext* context, Segment* expression) {
    VornVM* sub = context->vm;
    int32_t mark = sub->FeatureCount();
    // The sub-program runs its code the way its caller does.
    sub->SetDecodeSegments(vm.DecodesSegments());
    sub->AddUse();
    ++doNesting;
    VornVM_Frame* caller = vm.CurrentFrame();
    int result = expression
                     ? sub->RunSegment(expression, vm.CurrentStack(), caller ? vm.ScopeOf(caller) : nullptr)
                     : sub->RunCurrentSegment();
    --doNesting;
    // Whatever the run left open ends with it, not with the request.
    sub->ReleaseFeaturesAbove(mark);
    sub->ReleaseUse();
    if (!result) {
        vm.AbortWith(*sub);
        return 0;
    }
    VornApplication* application = vm.Application();
    if (Output* output = application ? application->GetOutput() : nullptr)
        output->SetMode(static_cast<int32_t>(vm.CurrentFrame() ? vm.CurrentFrame()->outputMode : 0));
    return 1;
}

// Pops a VrDO file name and finds its context: 0 when the handler must stop
// (aborted, nesting too deep); 1 otherwise, with *context null after a
// reported error.
int PopDoContext(VornVM& vm, DoContext** context) {
    *context = nullptr;
    int32_t length = 0;
    int32_t size = 0;
    char* name = vm.CurrentStack()->PopCString(&length, &size);
    if (vm.Aborted()) {
        std::free(name);
        return 0;
    }
    vm.ClearTagError(kTagDo);
    if (doNesting >= kDoMaxNesting) {
        std::free(name);
        vm.FatalError(kDoNestingTooDeep);
        return 0;
    }
    *context = DoCache::Of(vm).Get(vm, name, length);
    std::free(name);
    return 1;
}

} // namespace

void OpDoFile(VornVM& vm) {
    DoContext* context;
    if (!PopDoContext(vm, &context) || !context) return;

    if ((vm.TraceFlags() & LogDoEnter) && vm.TraceAccepts())
        vm.LogEvent(LogDoEnter, context->path.Text(), context->path.Length());
    if (!RunDoContext(vm, context, nullptr)) return;
    if ((vm.TraceFlags() & LogDoExit) && vm.TraceAccepts())
        vm.LogEvent(LogDoExit, context->path.Text(), context->path.Length());
    vm.RestartLineTrace();
}

void OpDoFunction(VornVM& vm) {
    StackText expression;
    vm.CurrentStack()->PopText(expression);
    DoContext* context;
    if (!PopDoContext(vm, &context)) return;
    if (!context) {
        vm.CurrentStack()->PushVariable(vm.NullVariable(), false);
        return;
    }

    DoExpression* compiled = context->expressions->Find(expression.text, expression.length);
    if (!compiled) {
        String message;
        int32_t fileLength = 0;
        const char* file = vm.SourceFileName(&fileLength);
        // Positioned at the caller's source line.
        Segment* code =
            context->vm->CompileExpression(expression.text, expression.length,
                                           fileLength > 0 ? file : nullptr, fileLength, vm.Line(), &message);
        compiled = new DoExpression(expression.text, expression.length, code, message);
        context->expressions->Insert(compiled);
    }
    if (!compiled->segment) {
        vm.TagError(kTagDo, compiled->error);
        vm.CurrentStack()->PushVariable(vm.NullVariable(), false);
        return;
    }

    if (!RunDoContext(vm, context, compiled->segment)) {
        vm.CurrentStack()->PushVariable(vm.NullVariable(), false);
        return;
    }
    vm.RestartLineTrace();
}

} // namespace vorn
