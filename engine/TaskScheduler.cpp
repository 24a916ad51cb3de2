#include "engine/TaskScheduler.h"

#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include "app/base/WinHandle.h"

// The logon trigger's own interface (not declared by every SDK's taskschd.h).
struct ILogonTriggerPort : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};

namespace {

const CLSID kTaskSchedulerClass = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
const IID kTaskServiceInterface = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
const IID kLogonTriggerInterface = {0x72DADE38, 0xFAE4, 0x4B3E, {0xBA, 0xF4, 0x5D, 0x00, 0x9A, 0xF0, 0x2B, 0x1C}};
const IID kExecActionInterface = {0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};

// An owned BSTR; the scheduler reads the length prefix, so plain strings will not do.
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { ::SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }

private:
    BSTR value_;
};

// An owned VARIANT.
class Variant {
public:
    Variant() { ::VariantInit(&value_); }
    explicit Variant(const std::wstring& text) : Variant() {
        value_.vt = VT_BSTR;
        value_.bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    ~Variant() { ::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    const VARIANT& get() const { return value_; }

private:
    VARIANT value_;
};

VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// Runs the steps in order while they succeed; the first failure is the result.
#define RETURN_IF_FAILED(expression)              \
    do {                                          \
        HRESULT hr_ = (expression);               \
        if (FAILED(hr_)) return hr_;              \
    } while (false)

HRESULT FillRegistrationInfo(ITaskDefinition* task, const LogonTaskDefinition& definition) {
    win::ComPtr<IRegistrationInfo> info;
    RETURN_IF_FAILED(task->get_RegistrationInfo(info.put()));
    RETURN_IF_FAILED(info->put_Author(Bstr(definition.author).get()));
    return info->put_Description(Bstr(definition.description).get());
}

HRESULT FillTrigger(ITaskDefinition* task, const LogonTaskDefinition& definition) {
    win::ComPtr<ITriggerCollection> triggers;
    RETURN_IF_FAILED(task->get_Triggers(triggers.put()));
    win::ComPtr<ITrigger> trigger;
    RETURN_IF_FAILED(triggers->Create(TASK_TRIGGER_LOGON, trigger.put()));
    win::ComPtr<ILogonTriggerPort> logon;
    RETURN_IF_FAILED(trigger->QueryInterface(kLogonTriggerInterface, logon.put_void()));
    RETURN_IF_FAILED(logon->put_Id(Bstr(definition.triggerId).get()));
    RETURN_IF_FAILED(logon->put_Enabled(VARIANT_TRUE));
    RETURN_IF_FAILED(logon->put_UserId(Bstr(definition.triggerUser).get()));
    return logon->put_Delay(Bstr(definition.delay).get());
}

HRESULT FillAction(ITaskDefinition* task, const LogonTaskDefinition& definition) {
    win::ComPtr<IActionCollection> actions;
    RETURN_IF_FAILED(task->get_Actions(actions.put()));
    win::ComPtr<IAction> action;
    RETURN_IF_FAILED(actions->Create(TASK_ACTION_EXEC, action.put()));
    win::ComPtr<IExecAction> exec;
    RETURN_IF_FAILED(action->QueryInterface(kExecActionInterface, exec.put_void()));
    RETURN_IF_FAILED(exec->put_Path(Bstr(definition.programPath).get()));
    RETURN_IF_FAILED(exec->put_WorkingDirectory(Bstr(definition.workingDirectory).get()));
    return exec->put_Arguments(Bstr(definition.arguments).get());
}

HRESULT FillPrincipal(ITaskDefinition* task, const LogonTaskDefinition& definition) {
    win::ComPtr<IPrincipal> principal;
    RETURN_IF_FAILED(task->get_Principal(principal.put()));
    RETURN_IF_FAILED(principal->put_Id(Bstr(definition.principalId).get()));
    RETURN_IF_FAILED(principal->put_GroupId(Bstr(definition.principalGroup).get()));
    return principal->put_RunLevel(definition.highestRunLevel ? TASK_RUNLEVEL_HIGHEST : TASK_RUNLEVEL_LUA);
}

HRESULT FillSettings(ITaskDefinition* task, const LogonTaskDefinition& definition) {
    win::ComPtr<ITaskSettings> settings;
    RETURN_IF_FAILED(task->get_Settings(settings.put()));
    RETURN_IF_FAILED(settings->put_StopIfGoingOnBatteries(ToVariantBool(definition.stopIfGoingOnBatteries)));
    RETURN_IF_FAILED(settings->put_DisallowStartIfOnBatteries(ToVariantBool(definition.disallowStartIfOnBatteries)));
    RETURN_IF_FAILED(settings->put_AllowHardTerminate(ToVariantBool(definition.allowHardTerminate)));
    RETURN_IF_FAILED(settings->put_ExecutionTimeLimit(Bstr(definition.executionTimeLimit).get()));
    win::ComPtr<IIdleSettings> idle;
    RETURN_IF_FAILED(settings->get_IdleSettings(idle.put()));
    return idle->put_StopOnIdleEnd(ToVariantBool(definition.stopOnIdleEnd));
}

class CComTaskFolder final : public IAutorunTaskFolder {
public:
    CComTaskFolder(HRESULT comResult, win::ComPtr<ITaskService> service, win::ComPtr<ITaskFolder> folder)
        : comResult_(comResult), service_(std::move(service)), folder_(std::move(folder)) {}
    ~CComTaskFolder() override {
        folder_.reset();
        service_.reset();
        // RPC_E_CHANGED_MODE: the thread already had COM (another model); nothing to balance.
        if (SUCCEEDED(comResult_)) ::CoUninitialize();
    }

    ExistingTask FindTask(const std::wstring& name) override {
        ExistingTask found;
        win::ComPtr<IRegisteredTask> task;
        if (FAILED(folder_->GetTask(Bstr(name).get(), task.put())) || !task) return found;
        found.exists = true;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        found.enabled = SUCCEEDED(task->get_Enabled(&enabled)) && enabled != VARIANT_FALSE;
        win::ComPtr<ITaskDefinition> definition;
        win::ComPtr<IActionCollection> actions;
        win::ComPtr<IAction> first;
        TASK_ACTION_TYPE type = TASK_ACTION_COM_HANDLER;
        found.startsProgram = SUCCEEDED(task->get_Definition(definition.put())) && definition &&
                              SUCCEEDED(definition->get_Actions(actions.put())) && actions &&
                              SUCCEEDED(actions->get_Item(1, first.put())) && first &&
                              SUCCEEDED(first->get_Type(&type)) && type == TASK_ACTION_EXEC;
        return found;
    }

    bool EnableTask(const std::wstring& name) override {
        win::ComPtr<IRegisteredTask> task;
        if (FAILED(folder_->GetTask(Bstr(name).get(), task.put())) || !task) return false;
        if (FAILED(task->put_Enabled(VARIANT_TRUE))) return false;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        return SUCCEEDED(task->get_Enabled(&enabled)) && enabled != VARIANT_FALSE;
    }

    HRESULT DeleteTask(const std::wstring& name) override { return folder_->DeleteTask(Bstr(name).get(), 0); }

    HRESULT RegisterTask(const std::wstring& name, const LogonTaskDefinition& definition) override {
        win::ComPtr<ITaskDefinition> task;
        RETURN_IF_FAILED(service_->NewTask(0, task.put()));
        RETURN_IF_FAILED(FillRegistrationInfo(task.get(), definition));
        RETURN_IF_FAILED(FillTrigger(task.get(), definition));
        RETURN_IF_FAILED(FillAction(task.get(), definition));
        RETURN_IF_FAILED(FillPrincipal(task.get(), definition));
        RETURN_IF_FAILED(FillSettings(task.get(), definition));
        Variant user(definition.registrationUser);
        Variant noPassword;
        Variant noSecurityDescriptor(std::wstring{});
        win::ComPtr<IRegisteredTask> registered;
        return folder_->RegisterTaskDefinition(Bstr(name).get(), task.get(), TASK_CREATE_OR_UPDATE, user.get(),
                                               noPassword.get(), TASK_LOGON_INTERACTIVE_TOKEN,
                                               noSecurityDescriptor.get(), registered.put());
    }

private:
    HRESULT comResult_;
    win::ComPtr<ITaskService> service_;
    win::ComPtr<ITaskFolder> folder_;
};

class CComTaskScheduler final : public ITaskSchedulerService {
public:
    std::unique_ptr<IAutorunTaskFolder> OpenRootFolder(HRESULT& result) override {
        HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(com) && com != RPC_E_CHANGED_MODE) {
            result = com;
            return nullptr;
        }
        win::ScopeExit balance([com] {
            if (SUCCEEDED(com)) ::CoUninitialize();
        });
        // Fails once the process has set its security; the first setting stays.
        ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        win::ComPtr<ITaskService> service;
        result = ::CoCreateInstance(kTaskSchedulerClass, nullptr, CLSCTX_INPROC_SERVER, kTaskServiceInterface,
                                    service.put_void());
        if (SUCCEEDED(result) && !service) result = E_NOINTERFACE;
        if (FAILED(result)) return nullptr;
        Variant empty;
        result = service->Connect(empty.get(), empty.get(), empty.get(), empty.get());
        if (FAILED(result)) return nullptr;
        win::ComPtr<ITaskFolder> folder;
        result = service->GetFolder(Bstr(L"\\").get(), folder.put());
        if (SUCCEEDED(result) && !folder) result = E_POINTER;
        if (FAILED(result)) return nullptr;
        balance.dismiss();
        return std::unique_ptr<IAutorunTaskFolder>(new CComTaskFolder(com, std::move(service), std::move(folder)));
    }
};

ITaskSchedulerService* g_current = nullptr;

#undef RETURN_IF_FAILED

}  // namespace

ITaskSchedulerService& SystemTaskScheduler() {
    static CComTaskScheduler instance;
    return instance;
}

ITaskSchedulerService& CurrentTaskScheduler() { return g_current ? *g_current : SystemTaskScheduler(); }

ITaskSchedulerService* SetTaskScheduler(ITaskSchedulerService* replacement) {
    ITaskSchedulerService* previous = &CurrentTaskScheduler();
    g_current = replacement == &SystemTaskScheduler() ? nullptr : replacement;
    return previous;
}
