// SPDX-License-Identifier: MIT
#include "path_completion.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStringListModel>

#include <filesystem>

namespace {

#ifdef Q_OS_WIN
constexpr QStringView kSeparators = u"\\/";
#else
constexpr QStringView kSeparators = u"/";
#endif

} // namespace

std::optional<FolderQuery> CompletableQuery(const QString& text) {
    qsizetype cut = text.size();
    while (cut > 0 && !kSeparators.contains(text[cut - 1])) {
        --cut;
    }
    const QString folder = text.left(cut);
    // Only an absolute folder: a relative one would be looked up in the folder
    // the program happened to start in, which the user cannot see. And no NUL,
    // which would cut the path short.
    if (folder.isEmpty() || text.contains(QChar(0)) ||
        !std::filesystem::path(folder.toStdU16String()).is_absolute()) {
        return std::nullopt;
    }
    return FolderQuery{folder, text.mid(cut)};
}

PathCompletion::PathCompletion(QLineEdit* box) : QObject(box), box_(box) {
    connect(box, &QLineEdit::textEdited, this, &PathCompletion::Edited);
}

PathCompletion::~PathCompletion() = default;

void PathCompletion::Edited(const QString& text) {
    const std::optional<FolderQuery> query = CompletableQuery(text);
    if (!query) {
        if (completer_) {
            completer_->popup()->hide();
        }
        return;
    }
    if (!completer_) {
        names_ = new QStringListModel(this);
        // Not the box's own completer: that one would put each highlighted
        // name into the box. This one changes the text only in Take().
        completer_ = new QCompleter(names_, this);
        completer_->setWidget(box_);
#ifdef Q_OS_WIN
        completer_->setCaseSensitivity(Qt::CaseInsensitive);
#endif
        connect(completer_, qOverload<const QString&>(&QCompleter::activated), this,
                &PathCompletion::Take);
        // Not a popup, which would hold the mouse while it is shown: the click
        // that closed it would be lost. A list that takes no focus, shown
        // above the window like a tooltip, leaves every click to where it lands.
        completer_->popup()->setWindowFlags(Qt::ToolTip | Qt::WindowDoesNotAcceptFocus);
        // After the completer's own filter on the box, so that this one sees
        // the box's keys first, and closes the list before the completer
        // would hold back the box's loss of focus.
        box_->installEventFilter(this);
        box_->window()->installEventFilter(this);
        lister_ = std::make_unique<FolderLister>(
            this,
            [this](const FolderQuery& listed, const QStringList& names) { Offer(listed, names); });
    }
    if (query->folder != namesFolder_) {
        // The names of another folder must not be offered meanwhile.
        names_->setStringList({});
        namesFolder_ = query->folder;
    }
    ShowMatches(query->namePrefix); // what is known now; the folder is read again
    shownForEdit_ = completer_->popup()->isVisible();
    try {
        lister_->Request(*query);
    } catch (const std::exception&) {
        // No thread for reading folders: typing works, without completion.
    }
}

void PathCompletion::Offer(const FolderQuery& query, const QStringList& names) {
    if (CompletableQuery(box_->text()) != query) {
        return; // the text changed since; its own request is under way
    }
    names_->setStringList(names);
    namesFolder_ = query.folder;
    // A list the user closed since the edit stays closed.
    if (!shownForEdit_ || completer_->popup()->isVisible()) {
        ShowMatches(query.namePrefix);
    }
}

void PathCompletion::ShowMatches(const QString& namePrefix) {
    completer_->setCompletionPrefix(namePrefix);
    const int count = completer_->completionCount();
    // A list that offers only what is typed already would only be in the way.
    if (!box_->hasFocus() || count == 0 ||
        (count == 1 && completer_->currentCompletion() == namePrefix)) {
        completer_->popup()->hide();
    } else {
        completer_->complete();
    }
}

void PathCompletion::Take(const QString& name) {
    if (const std::optional<FolderQuery> query = CompletableQuery(box_->text())) {
        // As if typed: undoable, and a folder's own names are offered next.
        box_->selectAll();
        box_->insert(query->folder + name);
    }
}

bool PathCompletion::eventFilter(QObject* watched, QEvent* event) {
    if (!completer_->popup()->isVisible()) {
        return false;
    }
    switch (event->type()) {
    case QEvent::KeyPress:
        return watched == box_ && PassToList(static_cast<QKeyEvent*>(event));
    // A click anywhere in the window, its title bar included, the box losing
    // the focus, or the window moving closes the list; the event goes on.
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::FocusOut:
    case QEvent::Move:
        completer_->popup()->hide();
        break;
    default:
        break;
    }
    return false;
}

bool PathCompletion::PassToList(QKeyEvent* key) {
    QAbstractItemView* list = completer_->popup();
    switch (key->key()) {
    case Qt::Key_Tab: {
        // Tab takes the highlighted name as Return does. With none
        // highlighted, it moves the focus on, which closes the list: a list
        // never traps a keyboard user.
        const QModelIndex highlighted = list->currentIndex();
        if (!highlighted.isValid() || key->keyCombination() != QKeyCombination(Qt::Key_Tab)) {
            return false;
        }
        list->hide();
        Take(highlighted.data().toString());
        return true;
    }
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        // The completer's own handling: highlight, take, or close.
        QCoreApplication::sendEvent(list, key);
        return true;
    default:
        return false;
    }
}
