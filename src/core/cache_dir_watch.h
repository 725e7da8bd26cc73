// Watching the cache directory by its name: the directory itself for entries
// coming and going, and its parent for a directory put in its place.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string_view>

#include "core/files.h"
#include "platform/kqueue.h"

namespace vg {

// A watch on the directory the configured name resolves to, followed through
// any replacement: two renames (FreeBSD has no atomic exchange), rmdir and
// mkdir, or a symbolic link pointed elsewhere. A watch on the old directory
// alone sees none of these: after a rename it follows the moved directory,
// and nothing tells it when a new one takes the name.
class CacheDirWatch {
public:
    // Takes over `opened` (the directory start-up opened, or -1 when it could
    // not; start-up has said why) and watches it and its parent directory.
    void start(platform::Kqueue kq, std::string_view path, int opened) noexcept;
    // Whether `ident` is one of the two watched descriptors.
    bool owns(std::uintptr_t ident) const noexcept;
    // A note (or EV_EOF) on one of them: true when the keys are to be read
    // again, because the directory changed or another now has its name.
    bool changed(const platform::KEvent& ev) noexcept;
    // After a SIGHUP: ends up watching what the name resolves to now.
    void follow() noexcept;
    void stop() noexcept;

private:
    struct Watched {
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
    };
    enum class Found : std::uint8_t { same, replaced, gone };

    // Watches what `path` resolves to in place of `w` when that differs.
    Found refresh(Watched& w, const char* path, bool isParent) noexcept;
    bool watch(Watched& w, int fd, bool isParent) noexcept;
    // Warns once, until a watch succeeds again.
    void lost(bool isParent, bool opening, ErrorCode why) noexcept;

    platform::Kqueue kq_;
    std::string_view path_;
    char cachePath_[kPathBufferSize] = {};
    char parentPath_[kPathBufferSize] = {};  // empty: the name has no parent to watch
    Watched cache_;
    Watched parent_;
    bool cacheLossLogged_ = false;
    bool parentLossLogged_ = false;
};

}  // namespace vg
