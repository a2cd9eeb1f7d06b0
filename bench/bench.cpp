// norvask_bench: how fast norvask_oem_tool runs a long scripted session,
// how much memory it keeps, and how long it takes to show its first prompt,
// each next to norvask_floor, which makes only the system calls the same
// commands need. It prints figures and judges nothing.
//
// Usage: norvask_bench [WORKDIR]  (images and answer scripts go there)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

static const int LONG_SESSION = 20000;
static const int SHORT_SESSION = 200;
static const int KIND_SESSION = 1000;
static const int SESSION_RUNS = 5;
static const int STARTUP_RUNS = 200;

struct run_t {
    double seconds;
    long maxrss_kb;  // peak resident set of the child, KiB
    int status;
};

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

// The benchmark mix, one command of each kind in turn: show configuration,
// raw listing, GPIO value and its switch, LLDP value, SMBus ARP, port disable
// of no port and its switch, a refused number; then 0 to leave. With a kind
// (0 to 6) every command is of that kind.
static const char *const KINDS[] = {"7 show configuration", "-1 raw listing", "5 GPIO value + switch",
                                    "11 LLDP value", "9 SMBus ARP", "12 port disable 0 + switch",
                                    "13 refused number"};
static const int NKINDS = 7;

static std::string session_script(int commands, int kind = -1)
{
    std::string s;
    char buf[64];
    for (int i = 0; i < commands; i++) {
        char yn = (i / NKINDS) % 2 ? 'n' : 'y';
        switch (kind < 0 ? i % NKINDS : kind) {
        case 0: s += "7\n"; break;
        case 1: s += "-1\n"; break;
        case 2: snprintf(buf, sizeof buf, "5\n%x\n%c\n", (unsigned)i & 0xFFFF, yn); s += buf; break;
        case 3: snprintf(buf, sizeof buf, "11\n%x\n", (unsigned)i % 16); s += buf; break;
        case 4: snprintf(buf, sizeof buf, "9\n%d\n", (i / NKINDS) % 2); s += buf; break;
        case 5: snprintf(buf, sizeof buf, "12\n0\n%c\n", yn); s += buf; break;
        default: s += "13\n"; break;
        }
    }
    return s + "0\n";
}

static pid_t spawn(const char *prog, const std::string &image, const std::string &input, int out_fd)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out_fd, 1) < 0)
            _exit(127);
        execl(prog, prog, "-f", image.c_str(), (char *)nullptr);
        _exit(127);
    }
    return pid;
}

static int exit_status(int st)
{
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// One whole session with its output thrown away.
static run_t run_session(const char *prog, const std::string &image, const std::string &input)
{
    int null_fd = open("/dev/null", O_WRONLY);
    double t0 = now();
    pid_t pid = spawn(prog, image, input, null_fd);
    int st = 0;
    waitpid(pid, &st, 0);
    double t1 = now();
    close(null_fd);
    return {t1 - t0, 0, exit_status(st)};
}

// A child's peak resident set counts the memory it had before exec, that
// is, a copy of this process. So memory is measured from a fresh, small
// copy of this program (`--spawn`), which forks the session and reports the
// child's RUSAGE_CHILDREN ru_maxrss on file descriptor 3.
static int spawn_and_report(char **argv)
{
    int null_fd = open("/dev/null", O_WRONLY);
    pid_t pid = spawn(argv[2], argv[3], argv[4], null_fd);
    int st = 0;
    waitpid(pid, &st, 0);
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    dprintf(3, "%ld %d\n", ru.ru_maxrss, exit_status(st));
    return 0;
}

static run_t peak_memory(const char *self, const char *prog, const std::string &image, const std::string &input)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {0, -1, -1};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (dup2(fds[1], 3) < 0)
            _exit(127);
        execl(self, self, "--spawn", prog, image.c_str(), input.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    char buf[64] = "";
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    buf[n > 0 ? n : 0] = '\0';
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    run_t r{0, -1, -1};
    sscanf(buf, "%ld %d", &r.maxrss_kb, &r.status);
    return r;
}

// Time from fork and exec to the first menu prompt on the output pipe.
static double time_to_prompt(const char *prog, const std::string &image, const std::string &input)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    double t0 = now(), t_prompt = -1;
    pid_t pid = spawn(prog, image, input, fds[1]);
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

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
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
    printf("machine: %s, %ld cores, %s %s %s; images in %s\n", cpu.c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           u.sysname, u.release, u.machine, dir.c_str());
}

int main(int argc, char **argv)
{
    if (argc == 5 && strcmp(argv[1], "--spawn") == 0)
        return spawn_and_report(argv);
    std::string dir = argc > 1 ? argv[1] : ".";
    std::string base = dir + "/bench-base.img", image = dir + "/bench-session.img";
    std::string mk = std::string(MKIMAGE_PATH) + " --family 0 --phy inner --ports 4 " + base;
    if (system(mk.c_str()) != 0) {
        fprintf(stderr, "norvask_bench: cannot make %s\n", base.c_str());
        return 1;
    }
    const std::string fresh = read_all(base);
    machine(dir);
    const char *progs[2] = {TOOL_PATH, FLOOR_PATH};
    const char *names[2] = {"tool", "floor"};

    // Long sessions, tool and floor taking turns on fresh images.
    std::string long_input = dir + "/bench-long.txt";
    write_all(long_input, session_script(LONG_SESSION));
    std::vector<double> secs[2];
    std::string after[2];
    for (int r = 0; r < SESSION_RUNS; r++) {
        for (int p = 0; p < 2; p++) {
            write_all(image, fresh);
            run_t res = run_session(progs[p], image, long_input);
            if (res.status != 0)
                printf("warning: %s session ended with status %d\n", names[p], res.status);
            secs[p].push_back(res.seconds);
            after[p] = read_all(image);
        }
    }
    printf("\nsession of %d commands, mixed (median of %d runs):\n", LONG_SESSION, SESSION_RUNS);
    for (int p = 0; p < 2; p++) {
        double s = median(secs[p]);
        printf("  %-5s %8.3f s  %9.0f commands/s  %8.1f us/command\n", names[p], s, LONG_SESSION / s,
               s * 1e6 / LONG_SESSION);
    }
    printf("  ratio tool/floor: %.2f\n", median(secs[0]) / median(secs[1]));
    printf("  final images of tool and floor: %s\n", after[0] == after[1] ? "identical" : "DIFFERENT");

    // Where the time goes: sessions of one kind of command each, on the
    // configured image that the mixed session left, so that the report
    // decodes every feature.
    printf("\nby kind of command (%d commands of one kind, median of %d runs):\n", KIND_SESSION, SESSION_RUNS);
    printf("  %-28s %10s %10s %7s\n", "command", "tool us", "floor us", "ratio");
    std::string kind_input = dir + "/bench-kind.txt";
    for (int k = 0; k < NKINDS; k++) {
        write_all(kind_input, session_script(KIND_SESSION, k));
        std::vector<double> us[2];
        for (int r = 0; r < SESSION_RUNS; r++) {
            for (int p = 0; p < 2; p++) {
                write_all(image, after[0]);
                us[p].push_back(run_session(progs[p], image, kind_input).seconds * 1e6 / KIND_SESSION);
            }
        }
        printf("  %-28s %10.1f %10.1f %7.2f\n", KINDS[k], median(us[0]), median(us[1]),
               median(us[0]) / median(us[1]));
    }

    // Peak memory of a short session against the long one.
    std::string short_input = dir + "/bench-short.txt";
    write_all(short_input, session_script(SHORT_SESSION));
    printf("\npeak resident memory (RUSAGE_CHILDREN ru_maxrss of the session):\n");
    for (int p = 0; p < 2; p++) {
        write_all(image, fresh);
        run_t small = peak_memory("/proc/self/exe", progs[p], image, short_input);
        write_all(image, fresh);
        run_t large = peak_memory("/proc/self/exe", progs[p], image, long_input);
        printf("  %-5s %6ld KiB after %d commands, %6ld KiB after %d commands\n", names[p], small.maxrss_kb,
               SHORT_SESSION, large.maxrss_kb, LONG_SESSION);
    }

    // Start-up: exec to the first menu prompt, session "0".
    std::string exit_input = dir + "/bench-exit.txt";
    write_all(exit_input, "0\n");
    write_all(image, fresh);
    std::vector<double> start[2];
    for (int r = 0; r < STARTUP_RUNS; r++)
        for (int p = 0; p < 2; p++)
            start[p].push_back(time_to_prompt(progs[p], image, exit_input));
    printf("\nstart-up, exec to first prompt (mean of %d runs):\n", STARTUP_RUNS);
    double mean[2];
    for (int p = 0; p < 2; p++) {
        double sum = 0;
        for (double t : start[p])
            sum += t;
        mean[p] = sum / (double)start[p].size();
        printf("  %-5s %8.1f us  (median %.1f us)\n", names[p], mean[p] * 1e6, median(start[p]) * 1e6);
    }
    printf("  ratio tool/floor: %.2f\n", mean[0] / mean[1]);
    return 0;
}
