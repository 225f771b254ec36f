// The application user model id: the runtime gives it to the process, and the installer
// writes it into the Start-menu shortcut (packaging/windows/shortcut_id.cpp), so that a
// pinned shortcut and the running windows are one taskbar button.
#pragma once

#define CORVALE_APP_USER_MODEL_ID L"Corvale.Player"
