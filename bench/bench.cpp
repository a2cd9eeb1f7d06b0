// norvask_bench: what norvask_oem_tool costs next to floor programs that do
// only what its commands need. norvask_floor makes the system calls each
// benchmark command needs and no more (bench/floor.cpp tells which);
// norvask_startup_floor, in plain C, opens the image, reads one word, writes
// the menu and reads the answer "0". It prints, tool against floor:
//   - system calls per command of each kind, and of the start and end of a
//     session "0", counted with strace when it is installed;
//   - time of a long mixed session, of sessions of one kind of command, and
//     from exec to the first prompt;
//   - peak resident memory after a short and a long session;
// each ratio next to its target. It is not a test and fails on nothing.
//
// Usage: norvask_bench [WORKDIR]  (images, answer scripts and traces go there)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static const double TARGET = 1.3;       // most a ratio tool/floor may be
static const int MIXED_SESSION = 5000;  // timed in memory: ~0.1 s a run
static const int MIXED_RUNS = 7;
static const int DISK_SESSION = 1000;   // timed on disk: ~0.2 s a run, more on a busy disk
static const int DISK_RUNS = 3;         // fsync, the same in both, is most of it
static const int MEMORY_RUNS = 5;       // the peak varies by up to 250 KiB from run to run
static const int SHORT_SESSION = 200;   // memory, and the configuring session
static const int LONG_SESSION = 20000;  // memory
static const int KIND_RUNS = 5;
static const int COUNTED = 100;  // commands of one kind under strace; counts do not vary
static const int STARTUP_RUNS = 200;

static double now(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static std::string read_all(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

static void write_all(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), (std::streamsize)data.size());
}

// The benchmark's kinds of command: show configuration, raw listing, GPIO
// value and its switch, LLDP value, SMBus ARP, port disable of no port and
// its switch, a refused number. Sessions of one kind are as long as keeps
// their time stable.
struct kind_t {
    const char *name;
    int commands;  // in a timed session of this kind
};
static const kind_t KINDS[] = {
    {"7 show configuration", 10000}, {"-1 raw listing", 10000},
    {"5 GPIO value + switch", 5000}, {"11 LLDP value", 5000},
    {"9 SMBus ARP", 5000},           {"12 port disable 0 + switch", 5000},
    {"13 refused number", 10000}};
static const int NKINDS = (int)(sizeof KINDS / sizeof KINDS[0]);

// One command of each kind in turn, or (kind 0 to 6) every command of one
// kind; then 0 to leave.
static std::string session_script(int commands, int kind = -1)
{
    std::string s;
    char buf[64];
    for (int i = 0; i < commands; i++) {
        char yn = (i / NKINDS) % 2 ? 'n' : 'y';
        switch (kind < 0 ? i % NKINDS : kind) {
        case 0:
            s += "7\n";
            break;
        case 1:
            s += "-1\n";
            break;
        case 2:
            snprintf(buf, sizeof buf, "5\n%x\n%c\n", (unsigned)i & 0xFFFF, yn);
            s += buf;
            break;
        case 3:
            snprintf(buf, sizeof buf, "11\n%x\n", (unsigned)i % 16);
            s += buf;
            break;
        case 4:
            snprintf(buf, sizeof buf, "9\n%d\n", (i / NKINDS) % 2);
            s += buf;
            break;
        case 5:
            snprintf(buf, sizeof buf, "12\n0\n%c\n", yn);
            s += buf;
            break;
        default:
            s += "13\n";
            break;
        }
    }
    return s + "0\n";
}

// Runs argv with standard input from a file and standard output (and, with
// quiet, standard error) on out_fd.
static pid_t spawn(const char *const *argv, const std::string &input, int out_fd,
                   bool quiet = false)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out_fd, 1) < 0 || (quiet && dup2(out_fd, 2) < 0))
            _exit(127);
        execvp(argv[0], (char *const *)argv);
        _exit(127);
    }
    return pid;
}

static pid_t spawn_prog(const char *prog, const std::string &image, const std::string &input,
                        int out_fd)
{
    const char *argv[] = {prog, "-f", image.c_str(), nullptr};
    return spawn(argv, input, out_fd);
}

static int exit_status(int st)
{
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

struct run_t {
    double seconds;
    int status;
};

// One whole session with its output thrown away.
static run_t run_session(const char *prog, const std::string &image, const std::string &input)
{
    int null_fd = open("/dev/null", O_WRONLY);
    double t0 = now();
    pid_t pid = spawn_prog(prog, image, input, null_fd);
    int st = 0;
    waitpid(pid, &st, 0);
    double t1 = now();
    close(null_fd);
    return {t1 - t0, exit_status(st)};
}

static bool have_strace(void)
{
    return system("strace -V >/dev/null 2>&1") == 0;
}

// The system calls of one session, counted from its strace log (execve to
// exit_group), or -1.
static long count_calls(const char *prog, const std::string &image, const std::string &input,
                        const std::string &log)
{
    int null_fd = open("/dev/null", O_WRONLY);
    const char *argv[] = {"strace", "-o", log.c_str(), prog, "-f", image.c_str(), nullptr};
    pid_t pid = spawn(argv, input, null_fd, true);
    int st = 0;
    waitpid(pid, &st, 0);
    close(null_fd);
    if (exit_status(st) != 0)
        return -1;
    std::ifstream f(log);
    long calls = 0;
    for (std::string line; std::getline(f, line);)
        if (line.rfind("+++", 0) != 0 && line.rfind("---", 0) != 0)
            calls++;
    return calls;
}

// Peak and anonymous resident memory of a session, read from /proc while
// it waits for its last answer: the script is fed on a pipe, all but the
// final "0"; once the pipe is empty and the program sleeps, it has done every
// command. (ru_maxrss would also count the forked copy of this program.)
struct memory_t {
    long peak_kb, anon_kb;
};

static long status_field(const std::string &status, const char *name)
{
    size_t at = status.find(name);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(name));
}

static bool waits_for_input(pid_t pid, int in_fd)
{
    int queued = 0;
    if (ioctl(in_fd, FIONREAD, &queued) != 0 || queued > 0)
        return false;
    std::string stat = read_all("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

static memory_t session_memory(const char *prog, const std::string &image,
                               const std::string &script)
{
    memory_t m{-1, -1};
    int fds[2];
    if (pipe(fds) != 0)
        return m;
    int null_fd = open("/dev/null", O_WRONLY);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[1]);
        if (dup2(fds[0], 0) < 0 || dup2(null_fd, 1) < 0)
            _exit(127);
        execl(prog, prog, "-f", image.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(fds[0]);
    close(null_fd);
    std::string body = script.substr(0, script.size() - 2);  // without "0\n"
    bool fed = write(fds[1], body.data(), body.size()) == (ssize_t)body.size();
    // Three looks 2 ms apart, all idle; at most 10 s, in case it ended early.
    for (int quiet = 0, looks = 0; fed && quiet < 3 && looks < 5000; looks++) {
        usleep(2000);
        quiet = waits_for_input(pid, fds[1]) ? quiet + 1 : 0;
    }
    std::string status = read_all("/proc/" + std::to_string(pid) + "/status");
    m = {status_field(status, "VmHWM:"), status_field(status, "RssAnon:")};
    if (write(fds[1], "0\n", 2) != 2)
        m = {-1, -1};
    close(fds[1]);
    waitpid(pid, nullptr, 0);
    return m;
}

// Time from fork and exec to the first menu prompt on the output pipe.
static double time_to_prompt(const char *prog, const std::string &image, const std::string &input)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    double t0 = now(), t_prompt = -1;
    pid_t pid = spawn_prog(prog, image, input, fds[1]);
    close(fds[1]);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        got.append(buf, (size_t)n);
        if (t_prompt < 0 && got.find("Input your number:") != std::string::npos)
            t_prompt = now();
    }
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return t_prompt < 0 ? -1 : t_prompt - t0;
}

// Session times are the best of a few runs: other work on the machine only
// ever adds to a run's time.
static double best(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static const char *verdict(double ratio)
{
    return ratio <= TARGET ? "ok" : "OVER";
}

static void machine(const std::string &dir)
{
    utsname u{};
    uname(&u);
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    printf("machine: %s, %ld cores, %s %s %s; images in %s\n", cpu.c_str(),
           sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release, u.machine, dir.c_str());
    printf("target: every ratio tool/floor at most %.2f\n", TARGET);
}

// System calls per command of each kind: a session of COUNTED commands
// less a session "0", over COUNTED. Then the start and end of a session
// "0" against the start-up floor.
static void count_section(const char *const progs[2], const std::string &dir,
                          const std::string &configured, const std::string &image)
{
    if (!have_strace()) {
        printf("\nsystem calls: strace is not installed, not counted\n");
        return;
    }
    std::string input = dir + "/bench-count.txt", log = dir + "/bench-strace.log";
    printf("\nsystem calls per command (strace; %d commands of one kind less a session \"0\"):\n",
           COUNTED);
    printf("  %-28s %8s %8s %7s\n", "command", "tool", "floor", "ratio");
    long empty[2];
    write_all(input, "0\n");
    for (int p = 0; p < 2; p++) {
        write_all(image, configured);
        empty[p] = count_calls(progs[p], image, input, log);
    }
    for (int k = 0; k < NKINDS; k++) {
        write_all(input, session_script(COUNTED, k));
        double per[2];
        for (int p = 0; p < 2; p++) {
            write_all(image, configured);
            long calls = count_calls(progs[p], image, input, log);
            per[p] = calls < 0 || empty[p] < 0 ? -1 : (double)(calls - empty[p]) / COUNTED;
        }
        double ratio = per[0] / per[1];
        printf("  %-28s %8.2f %8.2f %7.2f  %s\n", KINDS[k].name, per[0], per[1], ratio,
               verdict(ratio));
    }
    write_all(input, "0\n");
    write_all(image, configured);
    long start = count_calls(STARTUP_FLOOR_PATH, image, input, log);
    double ratio = (double)empty[0] / (double)start;
    printf("  %-28s %8ld %8ld %7.2f  %s  (floor: the start-up floor program)\n",
           "start-up + exit, session \"0\"", empty[0], start, ratio, verdict(ratio));
}

// Tool and floor take turns on fresh images; prints the median times and
// their ratio, and whether both left the same image.
static void mixed_section(const char *const progs[2], const std::string &dir,
                          const std::string &fresh, int commands, int runs, const char *where)
{
    const char *names[2] = {"tool", "floor"};
    std::string image = dir + "/bench-mixed.img", input = dir + "/bench-mixed.txt";
    write_all(input, session_script(commands));
    std::vector<double> secs[2];
    std::string after[2];
    for (int r = 0; r < runs; r++) {
        for (int p = 0; p < 2; p++) {
            write_all(image, fresh);
            run_t res = run_session(progs[p], image, input);
            if (res.status != 0)
                printf("warning: %s session ended with status %d\n", names[p], res.status);
            secs[p].push_back(res.seconds);
            after[p] = read_all(image);
        }
    }
    printf("\nsession of %d commands, mixed, %s (best of %d runs):\n", commands, where, runs);
    for (int p = 0; p < 2; p++) {
        double t = best(secs[p]);
        printf("  %-5s %8.3f s  %9.0f commands/s  %8.1f us/command\n", names[p], t, commands / t,
               t * 1e6 / commands);
    }
    double ratio = best(secs[0]) / best(secs[1]);
    printf("  ratio tool/floor: %.2f  %s\n", ratio, verdict(ratio));
    printf("  final images of tool and floor: %s\n",
           after[0] == after[1] ? "identical" : "DIFFERENT");
}

// Sessions of one kind each, on the configured image.
static void kind_section(const char *const progs[2], const std::string &dir,
                         const std::string &configured)
{
    printf("\ntime by kind of command (best of %d runs):\n", KIND_RUNS);
    printf("  %-28s %8s %10s %10s %7s\n", "command", "commands", "tool us", "floor us", "ratio");
    std::string image = dir + "/bench-kind.img", input = dir + "/bench-kind.txt";
    for (int k = 0; k < NKINDS; k++) {
        int n = KINDS[k].commands;
        write_all(input, session_script(n, k));
        std::vector<double> us[2];
        for (int r = 0; r < KIND_RUNS; r++) {
            for (int p = 0; p < 2; p++) {
                write_all(image, configured);
                us[p].push_back(run_session(progs[p], image, input).seconds * 1e6 / n);
            }
        }
        double ratio = best(us[0]) / best(us[1]);
        printf("  %-28s %8d %10.1f %10.1f %7.2f  %s\n", KINDS[k].name, n, best(us[0]), best(us[1]),
               ratio, verdict(ratio));
    }
}

// The peak resident set at the end of a short and a long mixed session
// (mostly libc's pages, shared with every process) and the anonymous part,
// the program's own memory; medians of a few runs, as where a buffer falls
// against page boundaries changes from run to run.
static void memory_section(const char *const progs[2], const std::string &dir,
                           const std::string &fresh)
{
    const char *names[2] = {"tool", "floor"};
    std::string image = dir + "/bench-memory.img";
    printf(
        "\nresident memory at the end of a mixed session (VmHWM peak, RssAnon own; median of %d), "
        "KiB:\n",
        MEMORY_RUNS);
    printf("  %-5s %16s %16s\n", "", "200 commands", "20000 commands");
    const int lengths[2] = {SHORT_SESSION, LONG_SESSION};
    long peak[2][2], anon[2][2];
    for (int p = 0; p < 2; p++) {
        for (int l = 0; l < 2; l++) {
            const std::string script = session_script(lengths[l]);
            std::vector<double> peaks, anons;
            for (int r = 0; r < MEMORY_RUNS; r++) {
                write_all(image, fresh);
                memory_t m = session_memory(progs[p], image, script);
                peaks.push_back((double)m.peak_kb);
                anons.push_back((double)m.anon_kb);
            }
            peak[p][l] = (long)median(peaks);
            anon[p][l] = (long)median(anons);
        }
        printf("  %-5s %8ld %7ld %8ld %7ld\n", names[p], peak[p][0], anon[p][0], peak[p][1],
               anon[p][1]);
    }
    double ratio = (double)peak[0][1] / (double)peak[1][1];
    printf("  peak ratio tool/floor: %.2f  %s; tool's own memory after %d against %d commands: "
           "%+ld KiB\n",
           ratio, verdict(ratio), LONG_SESSION, SHORT_SESSION, anon[0][1] - anon[0][0]);
}

// Exec to the first menu prompt of a session "0", against the start-up floor.
static void startup_section(const std::string &dir, const std::string &fresh)
{
    const char *names[2] = {"tool", "floor"};
    std::string image = dir + "/bench-exit.img", input = dir + "/bench-exit.txt";
    write_all(input, "0\n");
    write_all(image, fresh);
    const char *starters[2] = {TOOL_PATH, STARTUP_FLOOR_PATH};
    std::vector<double> start[2];
    for (int r = 0; r < STARTUP_RUNS; r++)
        for (int p = 0; p < 2; p++)
            start[p].push_back(time_to_prompt(starters[p], image, input));
    printf("\nstart-up, exec to first prompt (median of %d runs; floor: the start-up floor "
           "program):\n",
           STARTUP_RUNS);
    for (int p = 0; p < 2; p++)
        printf("  %-5s %8.1f us\n", names[p], median(start[p]) * 1e6);
    double ratio = median(start[0]) / median(start[1]);
    printf("  ratio tool/floor: %.2f  %s\n", ratio, verdict(ratio));
}

// Times and memory are measured on a memory file system where there is one,
// so that they are the programs' own and not the disk's: on a disk every
// writing command waits for its fsync, the same in tool and floor. One mixed
// session on WORKDIR's file system shows that side.
int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // a program that ends before reading its script
    std::string dir = argc > 1 ? argv[1] : ".";
    std::string base = dir + "/bench-base.img";
    std::string mk = std::string(MKIMAGE_PATH) + " --family 0 --phy inner --ports 4 " + base;
    if (system(mk.c_str()) != 0) {
        fprintf(stderr, "norvask_bench: cannot make %s\n", base.c_str());
        return 1;
    }
    const std::string fresh = read_all(base);
    std::string mem_dir = "/dev/shm/norvask-bench-" + std::to_string(getpid());
    if (mkdir(mem_dir.c_str(), 0700) != 0)
        mem_dir = dir;
    machine(dir);
    printf("times and memory measured in %s\n", mem_dir.c_str());
    const char *const progs[2] = {TOOL_PATH, FLOOR_PATH};

    // A configured image, so that the report decodes every feature: what a
    // short mixed session leaves.
    std::string image = mem_dir + "/bench-session.img", short_input = mem_dir + "/bench-short.txt";
    write_all(short_input, session_script(SHORT_SESSION));
    write_all(image, fresh);
    if (run_session(progs[0], image, short_input).status != 0)
        printf("warning: the tool's configuring session failed\n");
    const std::string configured = read_all(image);

    count_section(progs, mem_dir, configured, image);
    mixed_section(progs, mem_dir, fresh, MIXED_SESSION, MIXED_RUNS, "in memory");
    kind_section(progs, mem_dir, configured);
    memory_section(progs, mem_dir, fresh);
    startup_section(mem_dir, fresh);
    mixed_section(progs, dir, fresh, DISK_SESSION, DISK_RUNS, ("on the disk of " + dir).c_str());
    if (mem_dir != dir && system(("rm -rf '" + mem_dir + "'").c_str()) != 0)
        fprintf(stderr, "norvask_bench: cannot remove %s\n", mem_dir.c_str());
    return 0;
}
