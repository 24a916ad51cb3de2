#include "engine/RestartDeletion.h"

#include <windows.h>

namespace {

class CSystemRestartDeletion : public IRestartDeletion {
public:
    bool Schedule(const std::wstring& path) override {
        return !path.empty() && ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    }
};

IRestartDeletion* g_current = nullptr;

}  // namespace

IRestartDeletion& SystemRestartDeletion() {
    static CSystemRestartDeletion instance;
    return instance;
}

IRestartDeletion& CurrentRestartDeletion() { return g_current ? *g_current : SystemRestartDeletion(); }

IRestartDeletion* SetRestartDeletion(IRestartDeletion* replacement) {
    IRestartDeletion* previous = &CurrentRestartDeletion();
    g_current = replacement;
    return previous;
}

bool ScheduleDeleteAtRestart(const std::wstring& path) { return CurrentRestartDeletion().Schedule(path); }
