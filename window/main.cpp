// SPDX-License-Identifier: MIT
#include "frmmain.h"

#include <QApplication>
#include <QIcon>

#include <csignal>

int main(int argc, char* argv[]) {
#ifdef SIGXFSZ
    // A write past the file-size limit (ulimit -f) then fails with "File too
    // large", which is reported, instead of killing the window.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    // Only the application name: a display name would be appended to the
    // window's title, which must read "Main" alone.
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    // The project version, from CMake: the one in the version record too.
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velmora.png")));
    // The desktop entry's name: Wayland desktops match the window to its
    // menu entry and icon by it, as software centres do with its metadata.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.velmora.velmora"));

    Frmmain window;
    window.show();
    return QApplication::exec();
}
