// Locked, atomic, owner-keeping updates of a keys file.
#include "keys/keys_update.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "core/files.h"
#include "keycache/key_cache.h"
#include "log/syscalls.h"
#include "support/fatal_signals.h"
#include "support/output.h"

namespace vg::tools {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// An exclusive lock on the directory, so that two runs do not both copy the
// old file and the second rename drop the first one's change. A file system
// that cannot lock (ENOLCK, EOPNOTSUPP on some network mounts) is refused:
// updating unlocked would risk exactly that.
Failure lockDirectory(int dirFd, const std::string& dir) {
    for (int tries = 0;; ++tries) {
        if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return {};
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            return {kExitFailed, "cannot lock the directory " + dir + ": " + errnoText() +
                                     "; it is not updated without a lock"};
        }
        if (tries >= 100) {
            return {kExitFailed, "another vellumgard-key is still updating a file in " + dir};
        }
        timespec pause{0, 100000000L};  // 0.1 s
        ::nanosleep(&pause, nullptr);
    }
}

struct Target {
    std::string dir;
    std::string base;
};

Failure splitPath(const std::string& path, Target& out) {
    auto notAFile = [&] { return Failure{kExitRefused, "-o needs the path of a file: " + path}; };
    if (path.empty() || path.back() == '/') return notAFile();
    const std::size_t slash = path.rfind('/');
    out.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    out.base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (out.base == "." || out.base == "..") return notAFile();
    return {};
}

Failure notRegular(const std::string& path, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        // Renaming over a link would replace the link, not the file it names.
        return {kExitRefused, path + " is a symbolic link; give the path of the file itself"};
    }
    return {kExitRefused, path + " is not a regular file"};
}

// The current content, read as the daemon reads it: at most its limit.
Failure readCurrent(int dirFd, const Target& target, const std::string& path, struct stat& st,
                    OwnedBytes& content) {
    sys::UniqueFd fd(
        ::openat(dirFd, target.base.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid()) return {kExitFailed, "cannot read " + path + ": " + errnoText()};
    if (::fstat(fd.get(), &st) != 0) {
        return {kExitFailed, "cannot examine " + path + ": " + errnoText()};
    }
    if (!S_ISREG(st.st_mode)) return notRegular(path, st);
    Result<OwnedBytes> read = readOpenFile(fd.get(), kKeysFileLimit);
    if (read.error() == ErrorCode::FileTooBig) {
        return {kExitFailed, path + " is larger than the daemon's limit of 16 MiB; fix it first"};
    }
    if (!read) {
        return {kExitFailed,
                "cannot read " + path + ": error." + std::string(errorName(read.error()))};
    }
    content = std::move(read.value());
    return {};
}

// The new file: a hidden name the daemon never reads, ours alone through
// O_EXCL, removed again by a signal until it is renamed into place.
Failure createTemp(int dirFd, const Target& target, std::string& name, sys::UniqueFd& fd) {
    for (int tries = 0; !fd.valid(); ++tries) {
        char suffix[17];
        unsigned char raw[8];
        randombytes_buf(raw, sizeof(raw));
        sodium_bin2hex(suffix, sizeof(suffix), raw, sizeof(raw));
        name = "." + target.base + "." + suffix;
        const SignalsHeld held;
        fd.reset(::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          0600));
        if (fd.valid() && !armTempFile(dirFd, name)) {
            (void)::unlinkat(dirFd, name.c_str(), 0);
            fd.reset();
            errno = ENAMETOOLONG;
            break;
        }
        if (!fd.valid() && (errno != EEXIST || tries >= 10)) break;
    }
    if (!fd.valid()) {
        return {kExitFailed, "cannot create a new file in " + target.dir + ": " + errnoText()};
    }
    return {};
}

}  // namespace

Failure updateKeysFile(const std::string& path, const KeysUpdate& update) {
    Target target;
    if (Failure f = splitPath(path, target)) return f;

    sys::UniqueFd dirFd(::open(target.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid()) {
        const int status = errno == ENOENT || errno == ENOTDIR ? kExitRefused : kExitFailed;
        return {status, "cannot open the directory " + target.dir + ": " + errnoText()};
    }
    if (Failure f = lockDirectory(dirFd.get(), target.dir)) return f;

    struct stat old {};
    bool exists = true;
    if (::fstatat(dirFd.get(), target.base.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return {kExitFailed, "cannot examine " + path + ": " + errnoText()};
        exists = false;
    } else if (!S_ISREG(old.st_mode)) {
        return notRegular(path, old);
    }
    OwnedBytes bytes;
    if (exists) {
        if (Failure f = readCurrent(dirFd.get(), target, path, old, bytes)) return f;
    }
    const WipedBytes current(std::move(bytes));

    SecretBuffer content(current.view().size() + update.growth);
    if (Failure f = update.rewrite(current.view(), content)) return f;
    if (content.view().size() > kKeysFileLimit) {
        return {kExitFailed,
                path + " would grow beyond the daemon's limit of 16 MiB; it is unchanged"};
    }
    if (exists && old.st_nlink > 1) {
        say("warning: " + path + " has " + std::to_string(old.st_nlink) +
            " hard links; only this name gets the new content");
    }

    std::string tmpName;
    sys::UniqueFd tmp;
    if (Failure f = createTemp(dirFd.get(), target, tmpName, tmp)) return f;
    const std::string tmpPath = target.dir + "/" + tmpName;
    auto abandon = [&](int status, const std::string& problem) {
        tmp.reset();
        {
            const SignalsHeld held;
            (void)::unlinkat(dirFd.get(), tmpName.c_str(), 0);
            disarmTempFile();
        }
        return Failure{status, problem + "; " + path + " is unchanged"};
    };

    // The daemon must still be able to read the new file: it takes the old
    // one's owner, group and mode (without set-id bits); a first file gets
    // 0640 whatever the umask says.
    const mode_t mode =
        exists ? (old.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID)) : 0640;
    if (exists) {
        struct stat mine {};
        if (::fstat(tmp.get(), &mine) != 0) {
            return abandon(kExitFailed, "cannot examine " + tmpPath + ": " + errnoText());
        }
        if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
            ::fchown(tmp.get(), old.st_uid, old.st_gid) != 0) {
            return abandon(kExitFailed, "cannot give the new file the owner and group of " + path +
                                            " (" + std::to_string(old.st_uid) + ":" +
                                            std::to_string(old.st_gid) + "): " + errnoText());
        }
    }
    if (::fchmod(tmp.get(), mode) != 0) {
        return abandon(kExitFailed, "cannot set the mode of " + tmpPath + ": " + errnoText());
    }
    if (!writeAll(tmp.get(), content.view())) {
        return abandon(kExitFailed, "cannot write " + tmpPath + ": " + errnoText());
    }
    if (::fsync(tmp.get()) != 0) {
        return abandon(kExitFailed, "cannot flush " + tmpPath + ": " + errnoText());
    }
    if (::close(tmp.release()) != 0) {
        return abandon(kExitFailed, "cannot write " + tmpPath + ": " + errnoText());
    }

    // Someone who does not take the lock (an editor) may have changed the
    // file meanwhile; renaming would silently drop that change.
    struct stat now {};
    const bool stillThere =
        ::fstatat(dirFd.get(), target.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (stillThere != exists || (exists && !sameFile(old, now))) {
        return abandon(kExitFailed, path + " changed while it was being updated; try again");
    }
    {
        const SignalsHeld held;
        if (::renameat(dirFd.get(), tmpName.c_str(), dirFd.get(), target.base.c_str()) != 0) {
            const std::string why = errnoText();
            return abandon(kExitFailed, "cannot rename " + tmpPath + " to " + path + ": " + why);
        }
        disarmTempFile();
    }
    // The rename is done; a failed flush of the directory only risks it on a crash.
    if (::fsync(dirFd.get()) != 0) {
        say("warning: cannot flush the directory " + target.dir + ": " + errnoText());
    }
    return {};
}

}  // namespace vg::tools
