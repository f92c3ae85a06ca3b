// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QObject;

// A typed path cut at its last separator: the folder to look in, as typed
// with that separator, and the start of a name in it.
struct FolderQuery {
    QString folder;
    QString namePrefix;

    friend bool operator==(const FolderQuery&, const FolderQuery&) = default;
};

// The names in the query's folder that start with its prefix, sorted, at most
// `limit` of them: folders end with the separator the folder was typed with.
// Hidden names (".name") only when the prefix starts with a dot, as in a shell.
// Reads the folder, which may take any time: never call it on the window's
// thread. Gives up, returning nothing, as soon as `abandoned` says so.
[[nodiscard]] QStringList MatchingNames(const FolderQuery& query, qsizetype limit,
                                        const std::function<bool()>& abandoned);

// Reads folders for completion on a thread of its own, so that a slow,
// hung or huge folder never holds up the window. Only the newest request is
// read; one that a newer request replaced while it was read is dropped. Each
// result reaches `deliver` queued on the receiver's thread, and only while
// the receiver lives.
class FolderLister {
  public:
    using Deliver = std::function<void(const FolderQuery&, const QStringList& names)>;

    FolderLister(QObject* receiver, Deliver deliver);
    // Does not wait for a folder being read: the thread ends when it returns.
    ~FolderLister();
    FolderLister(const FolderLister&) = delete;
    FolderLister& operator=(const FolderLister&) = delete;

    // Starts the thread on the first request.
    void Request(const FolderQuery& query);

  private:
    struct Shared;
    static void ReadRequests(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
    bool started_ = false;
};
