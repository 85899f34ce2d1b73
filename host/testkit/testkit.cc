// SPDX-License-Identifier: ISC
#include "testkit.h"

#include <fcntl.h>
#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>

extern char** environ;

namespace testkit {

bool g_private_ns = false;

// The emulator command (words separated by '|') when the programs are built
// for another architecture, empty otherwise.
std::vector<std::string> target_emulator() {
  std::vector<std::string> words;
#ifdef EO_TARGET_EMULATOR
  std::string list = EO_TARGET_EMULATOR;
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find('|', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) words.push_back(list.substr(start, end - start));
    start = end + 1;
  }
#endif
  return words;
}

bool in_private_namespaces() { return g_private_ns; }

namespace {

// A program the kernel cannot run (built for the target): run it under the
// emulator, with the same argument vector. Returns only on failure.
void exec_emulated(const std::vector<char*>& args, const std::vector<char*>& envp) {
  std::vector<std::string> emu = target_emulator();
  if (emu.empty()) return;
  std::vector<char*> full;
  for (auto& w : emu) full.push_back(const_cast<char*>(w.c_str()));
  full.push_back(const_cast<char*>("-0"));
  full.push_back(args[0]);
  full.insert(full.end(), args.begin(), args.end());  // program, its arguments, nullptr
  execve(full[0], full.data(), envp.data());
  errno = ENOEXEC;
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void remove_tree(const std::string& path) {
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string parent_of(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

// Folders already overlaid (or given a tmpfs) in this process.
std::set<std::string>& overlaid() {
  static std::set<std::string> dirs;
  return dirs;
}

bool ensure_dir(const std::string& dir);

// Gives `dir` a writable upper layer so files can be added to it.
bool overlay_dir(const std::string& dir) {
  if (overlaid().count(dir)) return true;
  if (!g_private_ns) return false;
  static int counter;
  std::string base = "/tmp/.overlay." + std::to_string(getpid()) + "." + std::to_string(counter++);
  std::string upper = base + "/u", work = base + "/w";
  if (mkdir(base.c_str(), 0755) || mkdir(upper.c_str(), 0755) || mkdir(work.c_str(), 0755))
    return false;
  std::string opts = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
  if (mount("overlay", dir.c_str(), "overlay", 0, opts.c_str()) != 0) {
    fprintf(stderr, "testkit: overlay on %s: %s\n", dir.c_str(), strerror(errno));
    return false;
  }
  overlaid().insert(dir);
  return true;
}

// Inside the private namespace a folder is changed only when that stays
// private: under /tmp, or under a folder already overlaid or given a tmpfs.
// Anything else gets an overlay first, so the machine's own files (the root
// file system may well be writable) are never touched and parallel tests
// never see each other's stand-ins.
bool make_private(const std::string& dir) {
  if (!g_private_ns) return true;
  auto under = [&dir](const std::string& top) {
    return dir == top || (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0 &&
                          (top == "/" || dir[top.size()] == '/'));
  };
  if (under("/tmp")) return true;
  for (auto& top : overlaid())
    if (under(top)) return true;
  return overlay_dir(dir);
}

bool ensure_dir(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (!ensure_dir(parent_of(dir))) return false;
  if (!make_private(parent_of(dir))) return false;
  if (mkdir(dir.c_str(), 0755) == 0) return true;
  if (errno != EROFS && errno != EACCES && errno != EPERM) return false;
  return overlay_dir(parent_of(dir)) && mkdir(dir.c_str(), 0755) == 0;
}

}  // namespace

TempDir::TempDir(std::string_view tag) {
  std::string templ = "/tmp/" + std::string(tag) + ".XXXXXX";
  char* made = mkdtemp(templ.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  if (!path_.empty()) remove_tree(path_);
}

std::string TempDir::operator/(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

Child::Child(const std::vector<std::string>& argv, const SpawnOptions& opts) {
  if (opts.capture_output) {
    char templ[] = "/tmp/child-output.XXXXXX";
    int fd = mkstemp(templ);
    if (fd >= 0) {
      close(fd);
      output_path_ = templ;
    }
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
  for (auto& e : opts.env) {
    auto eq = e.find('=');
    for (auto it = env_store.begin(); it != env_store.end();) {
      if (it->compare(0, eq + 1, e, 0, eq + 1) == 0)
        it = env_store.erase(it);
      else
        ++it;
    }
    env_store.push_back(e);
  }
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t parent = getpid();

  pid_ = fork();
  if (pid_ != 0) return;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  if (!output_path_.empty()) {
    int fd = open(output_path_.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  if (opts.stdin_fd >= 0) dup2(opts.stdin_fd, 0);
  if (opts.stdout_fd >= 0) dup2(opts.stdout_fd, 1);
  if (opts.stderr_fd >= 0) dup2(opts.stderr_fd, 2);
  if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(127);
  execve(args[0], args.data(), envp.data());
  if (errno == ENOEXEC) exec_emulated(args, envp);
  execvpe(args[0], args.data(), envp.data());
  fprintf(stderr, "testkit: cannot run %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

Child::~Child() { reset(); }

Child::Child(Child&& other) noexcept
    : pid_(other.pid_), status_(other.status_), output_path_(std::move(other.output_path_)) {
  other.pid_ = -1;
  other.output_path_.clear();
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = other.pid_;
    status_ = other.status_;
    output_path_ = std::move(other.output_path_);
    other.pid_ = -1;
    other.output_path_.clear();
  }
  return *this;
}

void Child::reset() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  pid_ = -1;
  status_ = -1;
  if (!output_path_.empty()) unlink(output_path_.c_str());
  output_path_.clear();
}

bool Child::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = st;
    return false;
  }
  return r == 0;
}

void Child::signal(int sig) {
  if (pid_ > 0 && status_ == -1) kill(pid_, sig);
}

int Child::wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  long long deadline = now_ms() + timeout_ms;
  while (running()) {
    if (now_ms() >= deadline) return -1;
    usleep(2000);
  }
  return status_;
}

std::string Child::output() const {
  return output_path_.empty() ? std::string() : read_file(output_path_);
}

int run(const std::vector<std::string>& argv, std::string* output, int timeout_ms,
        const SpawnOptions& opts) {
  SpawnOptions o = opts;
  o.capture_output = output != nullptr;
  Child child(argv, o);
  int st = child.wait(timeout_ms);
  if (output) *output = child.output();
  if (st == -1) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return 128 + WTERMSIG(st);
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms, int step_ms) {
  // Under an emulator every process runs several times slower.
  static const int slowdown = target_emulator().empty() ? 1 : 4;
  long long deadline = now_ms() + static_cast<long long>(timeout_ms) * slowdown;
  for (;;) {
    if (pred()) return true;
    if (now_ms() >= deadline) return false;
    usleep(step_ms * 1000);
  }
}

bool wait_listening(const std::string& path, int timeout_ms) {
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof(sa.sun_path)) return false;
  memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  return wait_until(
      [&] {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        close(fd);
        return ok;
      },
      timeout_ms);
}

static int free_port(int type) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

int free_tcp_port() { return free_port(SOCK_STREAM); }
int free_udp_port() { return free_port(SOCK_DGRAM); }

std::string read_file(const std::string& path, bool* ok) {
  std::string data;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ok) *ok = fd >= 0;
  if (fd < 0) return data;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, n);
  close(fd);
  return data;
}

bool write_file(const std::string& path, std::string_view content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < content.size()) {
    ssize_t n = write(fd, content.data() + off, content.size() - off);
    if (n <= 0) break;
    off += n;
  }
  fchmod(fd, mode);
  close(fd);
  return off == content.size();
}

bool place_file(const std::string& path, std::string_view content, mode_t mode) {
  std::string dir = parent_of(path);
  if (!ensure_dir(dir) || !make_private(dir)) return false;
  // A symbolic link (resolv.conf often is one) would carry the write out of
  // the private layer: replace the entry itself.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && unlink(path.c_str()) != 0)
    return false;
  if (write_file(path, content, mode)) return true;
  return overlay_dir(dir) && write_file(path, content, mode);
}

bool place_dir(const std::string& path) { return ensure_dir(path); }

bool remove_placed(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  if (!make_private(parent_of(path))) return false;
  if (S_ISDIR(st.st_mode)) {
    remove_tree(path);
  } else if (unlink(path.c_str()) != 0) {
    if (!overlay_dir(parent_of(path))) return false;
    unlink(path.c_str());
  }
  return lstat(path.c_str(), &st) != 0;
}

bool private_tmpfs(const std::string& dir) {
  if (!g_private_ns || !ensure_dir(dir)) return false;
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
  overlaid().insert(dir);
  return true;
}

int count_fds(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  } else {
    return -1;
  }
  return n;
}

std::string needed_libraries(const std::string& binary) {
  std::string dynamic;
  if (run({"readelf", "-d", binary}, &dynamic) != 0) return {};
  std::string needed;
  for (size_t at = dynamic.find("(NEEDED)"); at != std::string::npos;
       at = dynamic.find("(NEEDED)", at + 1)) {
    size_t open = dynamic.find('[', at), close = dynamic.find(']', open);
    if (open == std::string::npos || close == std::string::npos) break;
    needed += dynamic.substr(open + 1, close - open - 1) + " ";
  }
  return needed;
}

std::vector<std::string> program_argv(const std::string& program) {
  std::vector<std::string> argv = target_emulator();
  // Only a target binary needs the emulator: a script (a stand-in daemon a
  // test wrote) runs through its interpreter on this machine.
  static const char kElf[4] = {0x7f, 'E', 'L', 'F'};
  char magic[4] = {};
  int fd = open(program.c_str(), O_RDONLY | O_CLOEXEC);
  bool elf = fd >= 0 && read(fd, magic, sizeof magic) == 4 && memcmp(magic, kElf, 4) == 0;
  if (fd >= 0) close(fd);
  if (!elf) argv.clear();
  if (!argv.empty()) argv.insert(argv.end(), {"-0", program});
  argv.push_back(program);
  return argv;
}

std::string exec_image(const std::string& program) {
  std::vector<std::string> emu = target_emulator();
  if (emu.empty()) return read_file(program);
  std::string script = "#!/bin/sh\nexec";
  for (auto& w : emu) script += " '" + w + "'";
  return script + " -0 \"$0\" '" + program + "' \"$@\"\n";
}

std::string bin_path(std::string_view name) {
  if (name == "ubusd") return bus_daemon_program();
  return std::string(EO_BIN_DIR) + "/" + std::string(name);
}

std::string bus_daemon_program() {
  const char* given = getenv("EO_UBUSD");
  return given && *given ? std::string(given) : std::string(EO_BIN_DIR) + "/ubusd";
}

bool BusDaemon::start(int timeout_ms) {
  start_after(0);
  return wait_ready(timeout_ms);
}

void BusDaemon::start_after(int delay_ms) {
  std::vector<std::string> daemon = program_argv(bus_daemon_program());
  daemon.insert(daemon.end(), {"-s", socket_});
  if (delay_ms <= 0) {
    child_ = Child(daemon);
    return;
  }
  // a shell that waits, then becomes the daemon: nothing here blocks
  char seconds[32];
  snprintf(seconds, sizeof(seconds), "%d.%03d", delay_ms / 1000, delay_ms % 1000);
  std::vector<std::string> argv = {"/bin/sh", "-c", "sleep \"$0\" && exec \"$@\"", seconds};
  argv.insert(argv.end(), daemon.begin(), daemon.end());
  child_ = Child(argv);
}

void BusDaemon::stop(int sig) {
  child_.signal(sig);
  if (child_.wait(5000) == -1) {
    child_.signal(SIGKILL);
    child_.wait(5000);
  }
}

void BusDaemon::restart(int sig, int delay_ms) {
  stop(sig);
  start_after(delay_ms);
}

const char* bus_generation_name(BusGeneration g) {
  return g == BusGeneration::kLegacy ? "Legacy" : "Current";
}

std::string bus_generation_env(BusGeneration g) {
  return g == BusGeneration::kLegacy ? "EO_UBUS_LEGACY_LOSS=1" : "EO_UBUS_LEGACY_LOSS=0";
}

void use_bus_generation(BusGeneration g) {
  setenv("EO_UBUS_LEGACY_LOSS", g == BusGeneration::kLegacy ? "1" : "0", 1);
}

}  // namespace testkit
