#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "norvask-oem-cfg.h"

const char *const PROMPT = "\nInput your number:";
const char *const INPUT_ENDED = "\n[Error] Input ended, nothing more is written!\n";

image_plan_t board(int family, uint32_t phy_code, uint32_t ports)
{
    image_plan_t plan = image_plan_default();
    plan.has_sid = true;
    plan.device_id = family == 1 ? 0x1001 : 0x1000;
    plan.phy_code = phy_code;
    plan.ports = ports;
    return plan;
}

image_plan_t erased_sid_board(void)
{
    return image_plan_default();
}

static std::string temp_path(const char *tag)
{
    std::string tmpl = std::string("/tmp/norvask-") + tag + "-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd >= 0)
        close(fd);
    return tmpl;
}

fixture_t make_fixture(const image_plan_t &plan, const words_t &words)
{
    image_plan_t s = plan;
    s.pattern = true;
    s.words.insert(s.words.end(), words.begin(), words.end());
    fixture_t fx{temp_path("img"), image_build(&s)};
    write_file(fx.path, fx.bytes);
    return fx;
}

void remove_fixture(const fixture_t &fx)
{
    unlink(fx.path.c_str());
}

bytes_t read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes_t(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const bytes_t &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
}

bytes_t with_words(bytes_t bytes, const words_t &words)
{
    for (const auto &w : words)
        for (unsigned i = 0; i < 4; i++)
            bytes.at(w.first + i) = (uint8_t)(w.second >> (8 * i));
    return bytes;
}

uint32_t word_at(const bytes_t &bytes, uint32_t addr)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < 4; i++)
        v |= (uint32_t)bytes.at(addr + i) << (8 * i);
    return v;
}

::testing::AssertionResult same_image(const bytes_t &expected, const bytes_t &actual)
{
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure()
               << "image size " << actual.size() << ", expected " << expected.size();
    for (size_t i = 0; i < expected.size(); i++) {
        if (expected[i] != actual[i]) {
            char buf[128];
            uint32_t w = (uint32_t)i & ~3u;
            snprintf(buf, sizeof buf, "first difference at 0x%zx: word 0x%x is 0x%08x, expected 0x%08x", i,
                     w, word_at(actual, w), word_at(expected, w));
            return ::testing::AssertionFailure() << buf;
        }
    }
    return ::testing::AssertionSuccess();
}

// In the child: the given standard input and output, then the tool.
[[noreturn]] static void exec_tool(const std::vector<std::string> &args, int in, int out,
                                   const run_opts_t &opts)
{
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (opts.fsize_limit >= 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {(rlim_t)opts.fsize_limit, (rlim_t)opts.fsize_limit};
        setrlimit(RLIMIT_FSIZE, &rl);
    }
    std::vector<char *> argv;
    std::string tool = TOOL_PATH;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
}

static int wait_status(pid_t pid)
{
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// The output comes through a pipe, so that a file size limit meant for the
// image does not cut it short.
run_t run_tool(const std::vector<std::string> &args, const std::string &input, const run_opts_t &opts)
{
    std::string in_path = temp_path("in");
    write_file(in_path, bytes_t(input.begin(), input.end()));
    int out[2] = {-1, -1};
    EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
    pid_t pid = fork();
    if (pid == 0)
        exec_tool(args, open(in_path.c_str(), O_RDONLY), out[1], opts);
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, (size_t)n);
    close(out[0]);
    unlink(in_path.c_str());
    return {text, wait_status(pid)};
}

child_t start_tool(const std::vector<std::string> &args)
{
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
    child_t c{-1, fds[1], temp_path("out")};
    c.pid = fork();
    if (c.pid == 0)
        exec_tool(args, fds[0], open(c.out_path.c_str(), O_WRONLY | O_TRUNC), {});
    close(fds[0]);
    return c;
}

run_t finish_tool(child_t &c, const std::string &input)
{
    EXPECT_EQ((ssize_t)input.size(), write(c.in_fd, input.data(), input.size()));
    close(c.in_fd);
    int status = wait_status(c.pid);
    bytes_t out = read_file(c.out_path);
    unlink(c.out_path.c_str());
    return {std::string(out.begin(), out.end()), status};
}

run_t run_session(const fixture_t &fx, const std::string &input, const run_opts_t &opts)
{
    return run_tool({"-f", fx.path}, input, opts);
}

static std::string menu_head(const std::string &path)
{
    return "\n"
           "============================================================\n"
           "Please read User_Manual carefully before configuring!!!\n"
           "[Note] Modifying file : " + path + "\n"
           "To select config option:\n"
           "01. Main switch of config val\n";
}

std::string vn_menu(const std::string &path)
{
    return menu_head(path) +
           "02. YT8521s LED config\n"
           "03. MV1512 LED config\n"
           "04. INNER LED config\n"
           "05. GPIO OEM config \n"
           "06. MV1512 PHY MODE config\n"
           "07. Show config val\n"
           "08. Show Menu\n"
           "09. Enable or Disable SMBUS ARP function\n"
           "10. WOL Wake IO pull down time config\n"
           "11. LLDP TX default switch settings\n"
           "12. Network port disable\n"
           "00. Exit\n";
}

std::string mr_menu(const std::string &path)
{
    return menu_head(path) +
           "02. INNER LED config\n"
           "03. Show config val\n"
           "04. Show Menu\n"
           "05. Enable or Disable SMBUS ARP function\n"
           "06. LLDP TX default switch settings\n"
           "00. Exit\n";
}
