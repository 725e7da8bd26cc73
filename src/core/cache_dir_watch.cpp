// Following the cache directory through replacement. The name is resolved
// again (symbolic links followed) whenever either watch reports anything and
// on SIGHUP, and compared by device and inode with the directory watched.
#include "core/cache_dir_watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>

#include "log/log.h"
#include "log/syscalls.h"

namespace vg {

namespace {

// NOTE_WRITE: entries created, removed or renamed inside. NOTE_DELETE and
// NOTE_RENAME: the directory itself removed, moved away, or replaced by a
// rename over it (FreeBSD vop_rename_post sends the replaced one
// NOTE_DELETE). NOTE_LINK: a subdirectory came or went (vop_rmdir_post sends
// the parent NOTE_WRITE|NOTE_LINK). The same on FreeBSD 14 and 15: all come
// from the generic vop_*_post hooks, whatever the file system.
platform::KEvent directoryWatch(int fd) noexcept {
    return platform::makeEvent(
        static_cast<std::uintptr_t>(fd), platform::kFilterVnode,
        platform::kEvAdd | platform::kEvClear,
        platform::kNoteDelete | platform::kNoteWrite | platform::kNoteLink | platform::kNoteRename);
}

// The directory that holds the last component of `path`, or an empty string
// when there is none that could be renamed ("/", "." or "..").
void parentOf(const char* path, char (&out)[kPathBufferSize]) noexcept {
    std::string_view p(path);
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const std::size_t slash = p.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
    out[0] = '\0';
    if (name.empty() || name == "." || name == "..") return;
    std::string_view parent = ".";
    if (slash == 0) {
        parent = "/";
    } else if (slash != std::string_view::npos) {
        parent = p.substr(0, slash);
    }
    (void)copyPath(parent, out);  // shorter than `path`: always fits
}

}  // namespace

void CacheDirWatch::start(platform::Kqueue kq, std::string_view path, int opened) noexcept {
    kq_ = kq;
    path_ = path;
    cache_ = {};
    parent_ = {};
    // Start-up has said why there is no directory to watch.
    cacheLossLogged_ = opened < 0;
    parentLossLogged_ = false;
    if (!copyPath(path, cachePath_)) {
        cachePath_[0] = '\0';
        parentPath_[0] = '\0';
    } else {
        parentOf(cachePath_, parentPath_);
    }
    if (opened >= 0) (void)watch(cache_, opened, false);
    if (parentPath_[0] == '\0') return;
    Result<int> parent = openDirectoryForWatching(parentPath_);
    if (!parent) {
        lost(true, true, parent.error());
        return;
    }
    (void)watch(parent_, parent.value(), true);
}

bool CacheDirWatch::owns(std::uintptr_t ident) const noexcept {
    const auto fd = static_cast<int>(ident);
    return fd >= 0 && (fd == cache_.fd || fd == parent_.fd);
}

bool CacheDirWatch::changed(const platform::KEvent& ev) noexcept {
    // EV_EOF: revoked, or its file system unmounted by force (FreeBSD
    // filt_vfsvnode); the watch is dead, as after NOTE_DELETE.
    const bool moved = (ev.fflags & (platform::kNoteDelete | platform::kNoteRename)) != 0 ||
                       (ev.flags & platform::kEvEof) != 0;
    if (static_cast<int>(ev.ident) == parent_.fd) {
        if (moved) (void)refresh(parent_, parentPath_, true);
        // An entry of the parent came or went: perhaps the directory's name.
        return refresh(cache_, cachePath_, false) == Found::replaced;
    }
    if (!moved) return true;
    return refresh(cache_, cachePath_, false) != Found::gone;
}

void CacheDirWatch::follow() noexcept {
    if (parentPath_[0] != '\0') (void)refresh(parent_, parentPath_, true);
    if (cachePath_[0] != '\0') (void)refresh(cache_, cachePath_, false);
}

void CacheDirWatch::stop() noexcept {
    for (Watched* w : {&cache_, &parent_}) {
        if (w->fd >= 0) sys::close(w->fd);
        *w = {};
    }
}

CacheDirWatch::Found CacheDirWatch::refresh(Watched& w, const char* path, bool isParent) noexcept {
    struct stat st {};
    if (::stat(path, &st) == 0 && w.fd >= 0 && st.st_dev == w.dev && st.st_ino == w.ino) {
        return Found::same;
    }
    Result<int> opened = openDirectoryForWatching(path);
    if (!opened) {
        if (w.fd >= 0) sys::close(w.fd);  // its registration goes with it
        w = {};
        lost(isParent, true, opened.error());
        return Found::gone;
    }
    Result<struct stat> now = sys::fstat(opened.value());
    if (now && w.fd >= 0 && now->st_dev == w.dev && now->st_ino == w.ino) {
        sys::close(opened.value());
        return Found::same;
    }
    Watched fresh;
    const bool watching = watch(fresh, opened.value(), isParent);
    if (watching && w.fd >= 0 && !isParent) {
        logLine(LogLevel::info, LogScope::main, "cache dir ", path_,
                " was replaced, watching the new one");
    }
    if (w.fd >= 0) sys::close(w.fd);
    w = fresh;  // none when the new one could not be watched
    return Found::replaced;
}

bool CacheDirWatch::watch(Watched& w, int fd, bool isParent) noexcept {
    const platform::KEvent change = directoryWatch(fd);
    Result<int> added = sys::kevent(kq_, &change, 1, nullptr, 0, nullptr);
    Result<struct stat> st = added ? sys::fstat(fd) : Result<struct stat>(added.error());
    if (!st) {
        sys::close(fd);
        lost(isParent, false, st.error());
        return false;
    }
    w = {fd, st->st_dev, st->st_ino};
    bool& logged = isParent ? parentLossLogged_ : cacheLossLogged_;
    if (logged && !isParent) {
        logLine(LogLevel::info, LogScope::main, "watching cache dir ", path_, " again");
    }
    logged = false;
    return true;
}

void CacheDirWatch::lost(bool isParent, bool opening, ErrorCode why) noexcept {
    bool& logged = isParent ? parentLossLogged_ : cacheLossLogged_;
    if (logged) return;
    logged = true;
    if (isParent) {
        logLine(LogLevel::warning, LogScope::main, "cannot watch ", parentPath_,
                ", the parent of cache dir ", path_, ": ", why,
                " (a directory put in its place is seen on SIGHUP only)");
    } else if (opening) {
        logLine(LogLevel::warning, LogScope::main, "cannot open cache dir ", path_,
                " for watching: ", why,
                parent_.fd >= 0 ? " (the keys loaded stay in use until it is back)"
                                : " (reload on SIGHUP only)");
    } else {
        logLine(LogLevel::warning, LogScope::main, "cannot watch cache dir ", path_, ": ", why,
                " (reload on SIGHUP only)");
    }
}

}  // namespace vg
