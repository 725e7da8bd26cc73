// The install rules: cmake --install into a staging directory gives the documented tree.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "support/daemon_process.h"
#include "support/tool_process.h"

namespace vg::test {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A variable of the build's cache, e.g. CMAKE_COMMAND.
std::string cacheValue(const std::string& buildDir, const std::string& name) {
    std::istringstream cache(readFile(buildDir + "/CMakeCache.txt"));
    std::string line;
    while (std::getline(cache, line)) {
        if (line.rfind(name + ":", 0) == 0) return line.substr(line.find('=') + 1);
    }
    return "";
}

bool isRegular(const std::string& path, mode_t* mode = nullptr) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (mode != nullptr) *mode = st.st_mode;
    return true;
}

#ifdef __FreeBSD__
constexpr bool kOnFreeBSD = true;
#else
constexpr bool kOnFreeBSD = false;
#endif

// The snippets the port puts into etc/ for FreeBSD's syslogd and newsyslog.
bool freebsdOnly(const std::string& plistPath) {
    return plistPath.rfind("etc/syslog.d/", 0) == 0 ||
           plistPath.rfind("etc/newsyslog.conf.d/", 0) == 0;
}

// The port's post-install recipe run on the staging tree `stage` as the
// ports framework runs it: make's ${VAR} reads as the shell's, and MKDIR is
// mkdir -p there.
void runPortPostInstall(const std::string& stage) {
    std::istringstream makefile(
        readFile(std::string(VG_SOURCE_DIR) + "/contrib/freebsd/port/Makefile"));
    std::string recipe;
    bool inRecipe = false;
    for (std::string line; std::getline(makefile, line);) {
        if (inRecipe && (line.empty() || line[0] != '\t')) break;
        if (inRecipe) recipe += line.substr(1) + "\n";
        inRecipe = inRecipe || line == "post-install:";
    }
    ToolRun run = runTool({"/usr/bin/env", "STAGEDIR=" + stage, "PREFIX=/usr/local",
                           "MKDIR=mkdir -p", "/bin/sh", "-euc", recipe});
    ASSERT_EQ(run.status, 0) << recipe << run.err;
}

// The port's packing list names exactly what is installed under the
// prefix /usr/local of the staging tree `stage`, less the service files,
// which the port installs its own way; `mandir` is where the manuals went.
// Every directory it lists (@dir) must be in the stage after the port's
// post-install, or pkg create stops. Off FreeBSD the FreeBSD-only snippets
// are not in etc/.
void expectPlistMatches(const std::string& stage, const std::string& mandir) {
    const std::string root = stage + "/usr/local/";
    runPortPostInstall(stage);
    std::istringstream plist(
        readFile(std::string(VG_SOURCE_DIR) + "/contrib/freebsd/port/pkg-plist"));
    std::set<std::string> listed;
    for (std::string line; std::getline(plist, line);) {
        if (line.rfind("@dir", 0) == 0) {
            const std::size_t after = line.rfind("@dir(", 0) == 0 ? line.find(')') + 1 : 4;
            const std::string dir = line.substr(line.find_first_not_of(" \t", after));
            const std::string staged = dir.front() == '/' ? stage + dir : root + dir;
            EXPECT_TRUE(std::filesystem::is_directory(staged)) << "@dir " << dir << " not staged";
            continue;
        }
        if (line.rfind("@sample ", 0) == 0) line.erase(0, 8);
        if (line.rfind("share/man/", 0) == 0) {
            // The port's manual directory, compressed by the ports framework.
            line = mandir + line.substr(9, line.size() - 9 - 3);
        }
        if (!kOnFreeBSD && freebsdOnly(line)) continue;
        listed.insert(line);
    }
    std::set<std::string> installed;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = e.path().string().substr(root.size());
        if (e.is_regular_file() && rel.rfind("share/vellumgard/", 0) != 0) installed.insert(rel);
    }
    EXPECT_EQ(listed, installed);
}

// The value of a "NAME=<tab>value" line of the port's Makefile.
std::string portVariable(const std::string& name) {
    std::istringstream makefile(
        readFile(std::string(VG_SOURCE_DIR) + "/contrib/freebsd/port/Makefile"));
    for (std::string line; std::getline(makefile, line);) {
        if (line.rfind(name + "=", 0) == 0) {
            const auto value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

TEST(Install, DestdirTreeHoldsTheDocumentedFilesAndNoLiveConfig) {
    const std::string buildDir = VG_BIN_DIR;
    ASSERT_TRUE(isRegular(buildDir + "/cmake_install.cmake"))
        << buildDir << " is not the build directory";
    const std::string cmake = cacheValue(buildDir, "CMAKE_COMMAND");
    ASSERT_FALSE(cmake.empty());

    TempDir dest;
    // env(1) sets DESTDIR for the install alone.
    ToolRun run = runTool({"/usr/bin/env", "DESTDIR=" + dest.path(), cmake, "--install", buildDir,
                           "--prefix", "/usr/local"},
                          "", 120000ms);
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    const std::string root = dest.path() + "/usr/local/";
    // The manual directory: share/man, or man on FreeBSD with older CMake versions.
    std::string mandir;
    for (const char* candidate : {"share/man", "man"}) {
        if (isRegular(root + candidate + "/man8/vellumgard.8")) mandir = candidate;
    }
    ASSERT_FALSE(mandir.empty()) << "no man8/vellumgard.8 under " << root;
    for (const char* exe : {"sbin/vellumgard", "bin/vellumgard-auth", "bin/vellumgard-key",
                            "share/vellumgard/freebsd/rc.d/vellumgard"}) {
        mode_t mode = 0;
        EXPECT_TRUE(isRegular(root + exe, &mode)) << exe;
        EXPECT_EQ(mode & 0111, 0111u) << exe << " is not executable";
    }
    // The installed files are the tree's own, not stale or empty copies.
    const std::string src = VG_SOURCE_DIR;
    const std::pair<std::string, std::string> copies[] = {
        {mandir + "/man1/vellumgard-auth.1", "man/vellumgard-auth.1"},
        {mandir + "/man1/vellumgard-key.1", "man/vellumgard-key.1"},
        {mandir + "/man5/vellumgard.conf.5", "man/vellumgard.conf.5"},
        {mandir + "/man8/vellumgard.8", "man/vellumgard.8"},
        {"etc/vellumgard.conf.sample", "contrib/vellumgard.conf.sample"},
        {"share/vellumgard/freebsd/syslog.d/vellumgard.conf",
         "contrib/freebsd/syslog.d/vellumgard.conf"},
        {"share/vellumgard/freebsd/newsyslog.conf.d/vellumgard.conf",
         "contrib/freebsd/newsyslog.conf.d/vellumgard.conf"},
    };
    for (const auto& [installed, source] : copies) {
        ASSERT_TRUE(isRegular(root + installed)) << installed;
        std::string content = readFile(root + installed);
        EXPECT_FALSE(content.empty()) << installed;
        EXPECT_EQ(content, readFile(src + "/" + source)) << installed;
    }
    // The rc.d script and the systemd unit are installed from templates,
    // the prefix filled in.
    const std::pair<std::string, std::string> templated[] = {
        {"share/vellumgard/freebsd/rc.d/vellumgard", "procname=/usr/local/sbin/vellumgard\n"},
        {"share/vellumgard/systemd/vellumgard.service",
         "ExecStart=/usr/local/sbin/vellumgard -c /usr/local/etc/vellumgard.conf\n"},
    };
    for (const auto& [installed, line] : templated) {
        const std::string text = readFile(root + installed);
        EXPECT_EQ(text.find("%%"), std::string::npos) << installed;
        EXPECT_NE(text.find(line), std::string::npos) << installed;
    }
    struct stat st {};
    EXPECT_NE(::lstat((root + "etc/vellumgard.conf").c_str(), &st), 0)
        << "a live configuration must never be installed";

    expectPlistMatches(dest.path(), mandir);
}

TEST(Install, DistConfigurationNeedsNeitherTestLibrary) {
    // What a server without googletest or benchmark configures: the find
    // calls for both are disabled, so any that is still required fails.
    const std::string cmake = cacheValue(VG_BIN_DIR, "CMAKE_COMMAND");
    ASSERT_FALSE(cmake.empty());
    TempDir out;
    const std::string build = out.file("dist");
    ToolRun run = runTool(
        {cmake, "-S", VG_SOURCE_DIR, "--preset", "dist", "-B", build,
         "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"},
        "", 120000ms);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string graph = readFile(build + "/build.ninja");
    EXPECT_NE(graph.find("build vellumgard:"), std::string::npos);
    EXPECT_NE(graph.find("build vellumgard-key:"), std::string::npos);
    EXPECT_EQ(graph.find("_tests:"), std::string::npos) << "tests in the dist build";
}

// scripts/make-release makes the tarball the port fetches and its distinfo;
// built from it as the port builds (the dist preset with the port's CMake
// flags, neither test library), it installs what pkg-plist lists. The tree
// archived is this working tree's tracked files (git stash create).
TEST(Install, ReleaseTarballBuildsAndInstallsWhatThePortLists) {
    const std::string src = VG_SOURCE_DIR;
    const std::string cmake = cacheValue(VG_BIN_DIR, "CMAKE_COMMAND");
    ASSERT_FALSE(cmake.empty());
    ToolRun stash = runTool({"/usr/bin/env", "git", "-C", src, "stash", "create"});
    if (stash.status != 0) GTEST_SKIP() << "not a git checkout: " << stash.err;
    const std::string commit =
        stash.out.empty() ? "HEAD" : stash.out.substr(0, stash.out.find('\n'));

    // One version: the project's, the port's and the tarball's.
    const std::string version = portVariable("DISTVERSION");
    const std::string top = readFile(src + "/CMakeLists.txt");
    EXPECT_NE(top.find("project(vellumgard VERSION " + version + " "), std::string::npos)
        << "the port's DISTVERSION " << version << " is not the project version";
    TempDir out;
    ToolRun made = runTool({src + "/scripts/make-release", "-o", out.path(), commit}, "", 60000ms);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string name = "vellumgard-" + version;
    const std::string tarball = out.file(name + ".tar.gz");
    ASSERT_EQ(made.out, tarball + "\n");

    ToolRun sum = runTool({"/usr/bin/env", "sha256sum", tarball});
    ASSERT_EQ(sum.status, 0) << sum.err;
    const std::string distinfo = readFile(out.file("distinfo"));
    EXPECT_NE(distinfo.find("SHA256 (" + name + ".tar.gz) = " + sum.out.substr(0, 64) + "\n"),
              std::string::npos)
        << distinfo;
    EXPECT_NE(distinfo.find("SIZE (" + name + ".tar.gz) = " +
                            std::to_string(std::filesystem::file_size(tarball)) + "\n"),
              std::string::npos)
        << distinfo;

    ToolRun untar = runTool({"/usr/bin/env", "tar", "-xzf", tarball, "-C", out.path()});
    ASSERT_EQ(untar.status, 0) << untar.err;
    const std::string tree = out.file(name);
    std::vector<std::string> configure = {cmake,
                                          "-S",
                                          tree,
                                          "--preset",
                                          "dist",
                                          "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                                          "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"};
    for (const auto& off : words(portVariable("CMAKE_OFF")))
        configure.push_back("-D" + off + "=OFF");
    for (const auto& arg : words(portVariable("CMAKE_ARGS"))) configure.push_back(arg);
    ToolRun configured = runTool(configure, "", 120000ms);
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
    ToolRun built = runTool({cmake, "--build", tree + "/build/dist", "-j", "2"}, "", 600000ms);
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const std::string stage = out.file("stage");
    ToolRun installed = runTool({"/usr/bin/env", "DESTDIR=" + stage, cmake, "--install",
                                 tree + "/build/dist", "--prefix", "/usr/local"},
                                "", 120000ms);
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    expectPlistMatches(stage, "share/man");
}

}  // namespace
}  // namespace vg::test
