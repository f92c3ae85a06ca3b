// SPDX-License-Identifier: MIT
#pragma once

#include "folder_lister.h"

#include <QObject>

#include <memory>
#include <optional>

class QCompleter;
class QKeyEvent;
class QLineEdit;
class QStringListModel;

// The folder and name start of a typed path that can be completed: an
// absolute path ("/home/me/Doc", "C:\Users\me\Doc", "\\server\share\Doc"),
// cut at its last separator. None for any other text.
[[nodiscard]] std::optional<FolderQuery> CompletableQuery(const QString& text);

// Completes the path typed into a box: as the user edits it, a list below the
// box offers the names in its folder that start with what follows the last
// separator. Down and Up highlight a name; Tab, Return or a click takes it,
// Escape closes the list. As with Windows' own path completion, the list
// never takes the mouse or the keyboard from the window: the box keeps the
// keys and passes on those of the list, and a click anywhere else does what
// it would do without the list, which it closes. The text changes only when a
// name is taken; the folder is read on another thread, so typing never waits
// for it. Owned by the box.
class PathCompletion : public QObject {
  public:
    explicit PathCompletion(QLineEdit* box);
    ~PathCompletion() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Edited(const QString& text);
    void Offer(const FolderQuery& query, const QStringList& names);
    void ShowMatches(const QString& namePrefix);
    void Take(const QString& name);
    [[nodiscard]] bool PassToList(QKeyEvent* key);

    QLineEdit* box_;
    // Made on the first edit: nothing of this slows the window's start.
    QCompleter* completer_ = nullptr;
    QStringListModel* names_ = nullptr;
    QString namesFolder_; // the folder whose names names_ holds
    bool shownForEdit_ = false; // the list was shown on the last edit
    std::unique_ptr<FolderLister> lister_;
};
