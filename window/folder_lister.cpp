// SPDX-License-Identifier: MIT
#include "folder_lister.h"

#include <QMetaObject>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive; // as the file system
#else
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif

bool ListedBefore(const QString& left, const QString& right) {
    const int order = QString::compare(left, right, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : left < right;
}

} // namespace

QStringList MatchingNames(const FolderQuery& query, qsizetype limit,
                          const std::function<bool()>& abandoned) {
    namespace fs = std::filesystem;
    const QChar separator = query.folder.back();
    const bool hiddenToo = query.namePrefix.startsWith(u'.');
    QStringList names;
    std::error_code error;
    fs::directory_iterator entry(fs::path(query.folder.toStdU16String()),
                                 fs::directory_options::skip_permission_denied, error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        if (abandoned()) {
            return {};
        }
        QString name;
        try {
            name = QString::fromStdU16String(entry->path().filename().u16string());
        } catch (const std::exception&) {
            continue; // not UTF-8: no text typed into a box could name it
        }
        if (!name.startsWith(query.namePrefix, kNameCase) ||
            (name.startsWith(u'.') && !hiddenToo)) {
            continue;
        }
        std::error_code ignored; // a link to nothing is offered as a file
        if (entry->is_directory(ignored)) {
            name += separator;
        }
        names.append(std::move(name));
    }
    const auto shown = names.begin() + std::min(limit, names.size());
    std::partial_sort(names.begin(), shown, names.end(), ListedBefore);
    names.erase(shown, names.end());
    return names;
}

struct FolderLister::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<FolderQuery> pending;
    std::atomic<unsigned> requests = 0; // changes with each request, read unlocked
    QObject* receiver;                  // null once the lister is gone
    Deliver deliver;
};

namespace {

// Enough to choose from in a popup; reading a folder of 100,000 names takes a
// fraction of a second, but showing them all would not.
constexpr qsizetype kMostNamesOffered = 1000;

} // namespace

void FolderLister::ReadRequests(const std::shared_ptr<Shared>& shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->pending || !shared->receiver; });
        if (!shared->receiver) {
            return;
        }
        const FolderQuery query = std::move(*shared->pending);
        shared->pending.reset();
        const unsigned request = shared->requests;
        lock.unlock();
        QStringList names;
        try {
            // A newer request, or the lister's end, stops reading a folder
            // of many names early; one that hangs in the system stops when it answers.
            names = MatchingNames(query, kMostNamesOffered,
                                  [&] { return shared->requests != request; });
        } catch (...) {
            // Out of memory, say: nothing to offer; the window goes on.
        }
        lock.lock();
        if (shared->receiver && !shared->pending) {
            // The receiver cannot go away while the lock is held, and a call
            // queued for it is dropped when it does.
            try {
                QMetaObject::invokeMethod(
                    shared->receiver,
                    [deliver = shared->deliver, query, names] { deliver(query, names); },
                    Qt::QueuedConnection);
            } catch (...) {
                // Nothing offered this time.
            }
        }
    }
}

FolderLister::FolderLister(QObject* receiver, Deliver deliver)
    : shared_(std::make_shared<Shared>()) {
    shared_->receiver = receiver;
    shared_->deliver = std::move(deliver);
}

FolderLister::~FolderLister() {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->receiver = nullptr;
        shared_->pending.reset();
        ++shared_->requests;
    }
    shared_->wake.notify_one();
}

void FolderLister::Request(const FolderQuery& query) {
    if (!started_) {
        // Detached: a folder that never answers (a lost network share) must
        // not hold up closing the window either.
        std::thread(ReadRequests, shared_).detach();
        started_ = true;
    }
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->pending = query;
        ++shared_->requests;
    }
    shared_->wake.notify_one();
}
