// SPDX-License-Identifier: MIT
#include "path_drops.h"

#include <QDir>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QSysInfo>
#include <QUrl>

#include <optional>

namespace {

// The native path of the drop's file, if it offers exactly one local file.
std::optional<QString> DroppedFile(const QMimeData& data) {
    const QList<QUrl> urls = data.urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        return std::nullopt;
    }
    QUrl url = urls.front();
#ifndef Q_OS_WIN
    // On Windows a host names a share ("\\server\share"), which a path
    // reaches. Here it can only name this machine: the "//host/path" of
    // another one would be read as the local "/host/path".
    if (!url.host().isEmpty()) {
        if (url.host() != u"localhost" && url.host() != QSysInfo::machineHostName()) {
            return std::nullopt;
        }
        url.setHost({});
    }
#endif
    const QString path = QDir::toNativeSeparators(url.toLocalFile());
    return path.isEmpty() ? std::nullopt : std::optional(path);
}

class FileDrops : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) {
            return false;
        }
        auto* drop = static_cast<QDropEvent*>(event); // the base of all three
        if (!drop->mimeData()->hasUrls()) {
            return false; // text: the box's own handling
        }
        // Always a copy: a file manager removes the original of a drop that
        // the target accepted as a move, and the box only names the file.
        const std::optional<QString> path = DroppedFile(*drop->mimeData());
        if (!path || !drop->possibleActions().testFlag(Qt::CopyAction)) {
            drop->ignore(); // the "no drop" cursor
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        if (type == QEvent::Drop) {
            auto* box = static_cast<QLineEdit*>(watched);
            box->selectAll(); // replaced as if typed, so Undo brings the old text back
            box->insert(*path);
        }
        return true;
    }
};

} // namespace

void TakeDroppedFiles(QLineEdit* box) {
    box->installEventFilter(new FileDrops(box));
}
