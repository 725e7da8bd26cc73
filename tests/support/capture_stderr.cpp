// Test helpers: stderr capture and temporary directories.
#include "support/capture_stderr.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vg::test {

CaptureStderr::CaptureStderr() {
    char name[] = "/tmp/vg-stderr-XXXXXX";
    file_ = ::mkstemp(name);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(name);
    saved_ = ::dup(2);
    ::dup2(file_, 2);
}

CaptureStderr::~CaptureStderr() {
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(file_);
}

std::string CaptureStderr::text() const {
    std::string out;
    char buf[4096];
    off_t pos = 0;
    for (;;) {
        ssize_t n = ::pread(file_, buf, sizeof(buf), pos);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        pos += n;
    }
    return out;
}

TempDir::TempDir() {
    char name[] = "/tmp/vg-test-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    std::string full = file(name);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return full;
}

}  // namespace vg::test
