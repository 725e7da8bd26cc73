// Test helper: captures what is written to descriptor 2 while it is alive.
#pragma once

#include <string>

namespace vg::test {

// Redirects descriptor 2 into a temporary file; text() returns everything
// written since construction. Restores the original descriptor 2 on destruction.
class CaptureStderr {
public:
    CaptureStderr();
    ~CaptureStderr();
    CaptureStderr(const CaptureStderr&) = delete;
    CaptureStderr& operator=(const CaptureStderr&) = delete;

    std::string text() const;

private:
    int saved_ = -1;
    int file_ = -1;
};

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `content` to `name` inside the directory; returns the full path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace vg::test
