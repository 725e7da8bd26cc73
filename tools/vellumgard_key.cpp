// vellumgard-key: makes keys for the keys file.
//
//   vellumgard-key [-o FILE] OWNER           new random key: password on stdout,
//                                            keys-file line on stderr or into FILE
//   vellumgard-key --hash [-o FILE] OWNER    key line for a password read from stdin
//   vellumgard-key --none [-o FILE] OWNER    the same for hash_algorithm = none
//
// With -o the line is added by writing a new file beside FILE and renaming it
// over FILE: the change the daemon's directory watch reloads on at once.
#include <sodium.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vellumgard-key [-o FILE] OWNER\n"
                 "       vellumgard-key --hash [-o FILE] OWNER   (password on standard input)\n"
                 "       vellumgard-key --none [-o FILE] OWNER   (password on standard input)\n");
    return 2;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// What the keys file can hold as a field: no tab or line feed, and nothing
// that trimming at the line's ends would eat.
const char* fieldProblem(const std::string& s) {
    if (s.empty()) return "is empty";
    if (s.find('\t') != std::string::npos) return "contains a tab";
    if (s.find('\n') != std::string::npos) return "contains a line feed";
    if (isSpace(s.front()) || isSpace(s.back())) return "starts or ends with white space";
    return nullptr;
}

std::string hexSha256(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    sodium_memzero(digest, sizeof(digest));
    return out;
}

bool readAll(int fd, std::string& out) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int ioFailure(const std::string& what) {
    std::fprintf(stderr, "vellumgard-key: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

// Adds `line` to `path` atomically: copy + line into a new file in the same
// directory, fsync, rename over.
int appendByRename(const std::string& path, const std::string& line) {
    std::string content;
    mode_t mode = 0640;
    int old = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (old >= 0) {
        struct stat st{};
        bool ok = ::fstat(old, &st) == 0 && readAll(old, content);
        ::close(old);
        if (!ok) return ioFailure("cannot read " + path);
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        return ioFailure("cannot open " + path);
    }
    if (!content.empty() && content.back() != '\n') content += '\n';
    content += line;
    std::string tmp = path + ".new." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return ioFailure("cannot create " + tmp);
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    sodium_memzero(content.data(), content.size());
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return ioFailure("cannot write " + path);
    }
    std::fprintf(stderr, "vellumgard-key: key added to %s\n", path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    enum class Mode { random, hash, none } mode = Mode::random;
    std::string out;
    std::string owner;
    bool haveOwner = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--hash") {
            mode = Mode::hash;
        } else if (a == "--none") {
            mode = Mode::none;
        } else if (a == "-o") {
            if (++i >= argc) return usage();
            out = argv[i];
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (!a.empty() && a[0] == '-' && !haveOwner) {
            return usage();
        } else if (!haveOwner) {
            owner = a;
            haveOwner = true;
        } else {
            return usage();
        }
    }
    if (!haveOwner) return usage();
    if (const char* why = fieldProblem(owner)) {
        std::fprintf(stderr, "vellumgard-key: the owner %s; the keys file cannot hold it\n", why);
        return 2;
    }
    if (sodium_init() < 0) {
        std::fprintf(stderr, "vellumgard-key: cannot initialise libsodium\n");
        return 1;
    }

    std::string password;
    if (mode == Mode::random) {
        unsigned char random[32];
        randombytes_buf(random, sizeof(random));
        password.resize(sodium_base64_encoded_len(sizeof(random), sodium_base64_VARIANT_URLSAFE_NO_PADDING));
        sodium_bin2base64(password.data(), password.size(), random, sizeof(random),
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING);
        password.resize(std::strlen(password.c_str()));
        sodium_memzero(random, sizeof(random));
    } else {
        if (!readAll(0, password)) return ioFailure("cannot read the password");
        if (!password.empty() && password.back() == '\n') password.pop_back();
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (password.empty()) {
            std::fprintf(stderr, "vellumgard-key: the password is empty\n");
            return 2;
        }
        if (mode == Mode::none) {
            if (const char* why = fieldProblem(password)) {
                sodium_memzero(password.data(), password.size());
                std::fprintf(stderr, "vellumgard-key: the password %s; the keys file cannot hold it\n", why);
                return 2;
            }
        }
    }

    std::string line = (mode == Mode::none ? password : hexSha256(password)) + "\t" + owner + "\n";
    int status = 0;
    if (!out.empty()) {
        status = appendByRename(out, line);
        if (status == 0 && mode == Mode::random) std::cout << password << "\n";
    } else if (mode == Mode::random) {
        std::cout << password << "\n";
        std::cerr << line;
    } else {
        std::cout << line;
    }
    std::cout.flush();
    sodium_memzero(password.data(), password.size());
    sodium_memzero(line.data(), line.size());
    return status;
}
