// Registration of a path for deletion at the next restart. Only administrators
// may register; the uninstaller falls back to a RunOnce batch when refused.
// The process-wide instance is replaceable so the refusal path can be played
// where the platform never refuses.
#pragma once

#include <string>

class IRestartDeletion {
public:
    // True when the path was registered (MoveFileExW, no target, delay until reboot).
    virtual bool Schedule(const std::wstring& path) = 0;
    virtual ~IRestartDeletion() = default;
};

// The real registration through MoveFileExW(MOVEFILE_DELAY_UNTIL_REBOOT).
IRestartDeletion& SystemRestartDeletion();

// The instance every file-removal operation uses (the system one by default).
IRestartDeletion& CurrentRestartDeletion();
// Installs `replacement` (null restores the system one); returns the previous one.
IRestartDeletion* SetRestartDeletion(IRestartDeletion* replacement);

// Shorthand for CurrentRestartDeletion().Schedule(path).
bool ScheduleDeleteAtRestart(const std::wstring& path);
