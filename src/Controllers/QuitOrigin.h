// Where a request to quit the installer comes from.
#pragma once

enum class QuitOrigin {
    Menu,        ///< the Quit menu item or Ctrl+Q
    Close,       ///< the window's close button
    Signal,      ///< SIGTERM
    SessionEnd,  ///< the desktop session is ending
    Installer,   ///< the installer itself (quitInstaller, openSupport, the closing screens)
};

/// Whether the user asked for the quit in the installer's own window or menu.
inline bool isUserQuit(QuitOrigin origin) {
    return origin == QuitOrigin::Menu || origin == QuitOrigin::Close;
}
