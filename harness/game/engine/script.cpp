// Functions and dispatch: declaring functions with their parameter layouts,
// ProcessEvent, the script interpreter (ProcessInternal and
// ProcessLocalScriptFunction) and the native thunk.
//
// The path of a call is the engine's own: ProcessEvent (vtable slot 68, the
// code at its fixed offset) calls the function's Func; a native function's
// Func is the native thunk, a script function's is ProcessInternal, which
// runs the body through ProcessLocalScriptFunction with the same frame. A
// script body calls other script functions directly through
// ProcessLocalScriptFunction (a new frame) and native functions and events
// through ProcessEvent. Every one of these internal calls goes through the
// code at the fixed offsets or the vtable, never straight to the C++ bodies,
// so that a detour placed there sees each of them.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "standin/internal.h"

namespace standin {
namespace {

struct DispatchState {
  std::atomic<std::uint64_t> processEventCalls{0};
  std::atomic<bool> recording{false};
  std::mutex recordLock;  // guards records; any thread, held only to copy a record in or out
  std::unordered_map<const UFunction*, CallRecord> records;
};
DispatchState& State() {
  static DispatchState* state = new DispatchState();
  return *state;
}
thread_local std::uint64_t t_processEventCalls = 0;

std::uint16_t AlignUp(std::uint32_t value, std::uint32_t align) {
  return static_cast<std::uint16_t>((value + align - 1) / align * align);
}

UFunction* NewFunction(UClass* cls, const std::wstring& name, std::vector<ParamSpec>& params, std::uint32_t flags,
                       std::uint32_t localsBytes) {
  if (!cls) detail::Fatal("function declared on a missing class");
  auto* fn = static_cast<UFunction*>(NewObject(detail::Core().function, cls, name));
  auto info = std::make_unique<detail::FunctionInfo>();
  std::uint32_t offset = 0, maxAlign = 1;
  fn->returnValueOffset = 0xFFFF;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const ParamSpec& p = params[i];
    if ((p.flags & kParmReturn) && i + 1 != params.size()) detail::Fatal("the return value must be the last parameter");
    offset = AlignUp(offset, p.align);
    info->params.push_back({p.name, static_cast<std::uint16_t>(offset), p.size, p.flags});
    if (p.flags & kParmReturn) fn->returnValueOffset = static_cast<std::uint16_t>(offset);
    offset += p.size;
    maxAlign = std::max<std::uint32_t>(maxAlign, p.align);
  }
  fn->parmsSize = AlignUp(offset, maxAlign);
  fn->numParms = static_cast<std::uint8_t>(params.size());
  // Locals beyond the parameters make ProcessEvent give the call a block of its own.
  fn->propertiesSize = localsBytes ? AlignUp(fn->parmsSize + localsBytes, 16) : fn->parmsSize;
  fn->minAlignment = static_cast<std::int32_t>(maxAlign);
  fn->functionFlags = flags;
  fn->chainDepth = 0;
  fn->baseChain = static_cast<void**>(detail::EngineAlloc(sizeof(void*)));
  fn->baseChain[0] = &fn->baseChain;
  fn->super = cls->super ? FunctionNamed(static_cast<UClass*>(cls->super), name) : nullptr;
  // Parameters are properties: children of the function, as fields of a class are.
  for (auto it = params.rbegin(); it != params.rend(); ++it) {
    auto* property = static_cast<UField*>(NewObject(detail::Core().property, fn, it->name, {.findable = false}));
    property->next = fn->children;
    fn->children = property;
  }
  fn->next = cls->children;
  cls->children = fn;
  detail::Extra(fn).functionInfo = std::move(info);
  return fn;
}

void RunScript(UObject* context, FFrame* stack) {
  const Script& script = detail::Info(stack->node).script;
  ScriptFrame here{context, stack->node, stack->locals, stack};
  auto plsf = AtRva<void(UObject*, FFrame*, void*)>(rva::kProcessLocalScriptFunction);
  for (const ScriptStep& step : script) {
    switch (step.kind) {
      case ScriptStep::Kind::Code:
        step.code(here);
        break;
      case ScriptStep::Kind::CallScript:
      case ScriptStep::Kind::CallParent: {
        UFunction* callee = step.kind == ScriptStep::Kind::CallParent
                                ? static_cast<UFunction*>(stack->node->super)
                                : FunctionNamed(context->cls, step.function);
        if (!callee) break;
        std::vector<std::uint8_t> locals(static_cast<std::size_t>(callee->propertiesSize) + 16);
        if (step.args) step.args(here, locals.data());
        FFrame frame{};
        frame.node = callee;
        frame.object = context;
        frame.code = &detail::Info(callee).script;
        frame.locals = locals.data();
        frame.previousFrame = stack;
        void* result = callee->returnValueOffset != 0xFFFF ? locals.data() + callee->returnValueOffset : nullptr;
        if (callee->functionFlags & kFuncNative) callee->func(context, &frame, result);
        else plsf(context, &frame, result);
        if (step.results) step.results(here, locals.data());
        break;
      }
      case ScriptStep::Kind::CallEvent: {
        UObject* target = step.target ? step.target(here) : context;
        UFunction* callee = target ? FunctionNamed(target->cls, step.function) : nullptr;
        if (!callee) break;
        std::vector<std::uint8_t> params(static_cast<std::size_t>(callee->parmsSize) + 16);
        if (step.args) step.args(here, params.data());
        ProcessEvent(target, callee, params.data());
        if (step.results) step.results(here, params.data());
        break;
      }
    }
  }
}

}  // namespace

std::uint16_t Call::ParamOffset(const UFunction* function, int index) {
  return detail::Info(function).params.at(static_cast<std::size_t>(index)).offset;
}

UFunction* DefineNative(UClass* cls, const std::wstring& name, std::vector<ParamSpec> params, Native body,
                        std::uint32_t extraFlags) {
  UFunction* fn = NewFunction(cls, name, params, kFuncNative | kFuncPublic | extraFlags, 0);
  detail::Info(fn).native = std::move(body);
  fn->func = &detail::NativeThunk;
  return fn;
}

UFunction* DefineScript(UClass* cls, const std::wstring& name, std::vector<ParamSpec> params, Script body,
                        std::uint32_t localsBytes, std::uint32_t extraFlags) {
  UFunction* fn = NewFunction(cls, name, params, kFuncPublic | extraFlags, localsBytes);
  detail::Info(fn).script = std::move(body);
  fn->func = detail::ProcessInternalEntry();
  return fn;
}

UFunction* OwnFunction(const UClass* cls, std::wstring_view name) {
  if (!cls) return nullptr;
  for (UField* f = cls->children; f; f = f->next)
    if (f->cls == detail::Core().function && NameText(f->name) == name) return static_cast<UFunction*>(f);
  return nullptr;
}

UFunction* FunctionNamed(const UClass* cls, std::wstring_view name) {
  for (const UStruct* c = cls; c; c = c->super)
    if (UFunction* fn = OwnFunction(static_cast<const UClass*>(c), name)) return fn;
  return nullptr;
}

std::uint16_t ParmsSize(const UFunction* function) { return function->parmsSize; }

ScriptStep Code(std::function<void(ScriptFrame&)> code) {
  ScriptStep step;
  step.kind = ScriptStep::Kind::Code;
  step.code = std::move(code);
  return step;
}
ScriptStep CallScript(std::wstring function, ScriptArgs args, ScriptArgs results) {
  ScriptStep step;
  step.kind = ScriptStep::Kind::CallScript;
  step.function = std::move(function);
  step.args = std::move(args);
  step.results = std::move(results);
  return step;
}
ScriptStep CallParent(ScriptArgs args, ScriptArgs results) {
  ScriptStep step;
  step.kind = ScriptStep::Kind::CallParent;
  step.args = std::move(args);
  step.results = std::move(results);
  return step;
}
ScriptStep CallEvent(std::wstring function, std::function<UObject*(ScriptFrame&)> target, ScriptArgs args,
                     ScriptArgs results) {
  ScriptStep step;
  step.kind = ScriptStep::Kind::CallEvent;
  step.function = std::move(function);
  step.target = std::move(target);
  step.args = std::move(args);
  step.results = std::move(results);
  return step;
}

// ---------------------------------------------------------------- dispatch

void ProcessEvent(UObject* self, UFunction* function, void* params) {
  auto entry = reinterpret_cast<ProcessEventFn>(self->vtable[kProcessEventSlot]);
  entry(self, function, params);
}

bool CallByName(UObject* self, std::wstring_view function, void* params) {
  UFunction* fn = self ? FunctionNamed(self->cls, function) : nullptr;
  if (!fn) return false;
  ProcessEvent(self, fn, params);
  return true;
}

std::uint64_t ProcessEventCalls() { return State().processEventCalls.load(); }
std::uint64_t ProcessEventCallsOnThisThread() { return t_processEventCalls; }

void detail::ProcessEventImpl(UObject* self, UFunction* function, void* params) {
  State().processEventCalls.fetch_add(1, std::memory_order_relaxed);
  ++t_processEventCalls;
  if (!self || !function) return;
  // Script functions get a locals block of their own (parameters copied in and
  // back out); a missing block reads as zeros.
  std::uint8_t zeros[256] = {};
  std::vector<std::uint8_t> copy;
  auto* block = params ? static_cast<std::uint8_t*>(params) : zeros;
  bool ownLocals = function->propertiesSize > function->parmsSize || (!params && function->parmsSize > sizeof zeros);
  std::uint8_t* locals = block;
  if (ownLocals) {
    copy.assign(static_cast<std::size_t>(function->propertiesSize) + 16, 0);
    if (params) std::memcpy(copy.data(), params, function->parmsSize);
    locals = copy.data();
  }
  FFrame frame{};
  frame.node = function;
  frame.object = self;
  frame.code = &detail::Info(function).script;
  frame.locals = locals;
  void* result = function->returnValueOffset != 0xFFFF ? locals + function->returnValueOffset : nullptr;
  function->func(self, &frame, result);
  if (ownLocals && params) std::memcpy(params, copy.data(), function->parmsSize);
}

void detail::ActorProcessEventImpl(UObject* self, UFunction* function, void* params) {
  reinterpret_cast<ProcessEventFn>(detail::ObjectVTable()[kProcessEventSlot])(self, function, params);
}

void detail::ProcessInternalImpl(UObject* context, FFrame* stack, void* result) {
  if (!stack || !stack->node) return;
  AtRva<void(UObject*, FFrame*, void*)>(rva::kProcessLocalScriptFunction)(context, stack, result);
}

void detail::ProcessLocalScriptFunctionImpl(UObject* context, FFrame* stack, void* result) {
  if (!stack || !stack->node || !Extra(stack->node).functionInfo) return;
  RunScript(context, stack);
}

void detail::NativeThunk(UObject* context, FFrame* stack, void* result) {
  UFunction* fn = stack->node;
  FunctionInfo& info = Info(fn);
  DispatchState& s = State();
  if (s.recording.load(std::memory_order_relaxed)) {
    CallRecord record;
    record.self = context;
    record.params.assign(stack->locals, stack->locals + fn->parmsSize);
    record.flagsDuringCall = fn->functionFlags;
    record.thread = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(s.recordLock);
    s.records[fn] = std::move(record);
  }
  Call call{context, fn, stack->locals};
  if (!info.cannedReturn.empty() && fn->returnValueOffset != 0xFFFF) {
    std::memcpy(stack->locals + fn->returnValueOffset, info.cannedReturn.data(), info.cannedReturn.size());
    return;
  }
  if (info.native) info.native(call);
}

void SetCallRecording(bool on) { State().recording.store(on); }

std::optional<CallRecord> LastCall(const UFunction* function) {
  DispatchState& s = State();
  std::lock_guard<std::mutex> guard(s.recordLock);
  auto it = s.records.find(function);
  if (it == s.records.end()) return std::nullopt;
  return it->second;
}

void SetCannedReturn(const UFunction* function, std::vector<std::uint8_t> bytes) {
  detail::Info(function).cannedReturn = std::move(bytes);
}

}  // namespace standin
