#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

image_plan_t board(int family, uint32_t phy_code, uint32_t ports)
{
    image_plan_t plan = image_plan_default();
    plan.has_sid = true, plan.device_id = image_device_id(family), plan.phy_code = phy_code,
    plan.ports = ports;
    return plan;
}

fixture_t make_fixture(const image_plan_t &plan, const words_t &words)
{
    image_plan_t s = plan;
    s.pattern = true, s.words.insert(s.words.end(), words.begin(), words.end());
    fixture_t fx{"/tmp/norvask-img-XXXXXX", image_build(&s)};
    close(mkstemp(fx.path.data()));
    put_back(fx);
    return fx;  // no copy: the file is removed once
}

fixture_t::~fixture_t()
{
    unlink(path.c_str());
}

bytes_t read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void put_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bytes_t with_words(bytes_t bytes, const words_t &words)
{
    for (const auto &[at, value] : words)
        for (unsigned i = 0; i < 4; i++)
            bytes.at(at + i) = (uint8_t)(value >> (8 * i));
    return bytes;
}

bytes_t expected(const bytes_t &bytes, const words_t &words, uint32_t tmpl)
{
    bytes_t want = with_words(bytes, words);
    if (tmpl != 0)
        std::copy_n(bytes.begin() + tmpl, 0x400, want.begin());
    return want;
}

uint32_t word_at(const bytes_t &b, uint32_t at)
{
    return (uint32_t)b.at(at) | (uint32_t)b.at(at + 1) << 8 | (uint32_t)b.at(at + 2) << 16 |
           (uint32_t)b.at(at + 3) << 24;
}

::testing::AssertionResult same_image(const bytes_t &expected, const bytes_t &actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    const auto at = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    char why[80];  // formatted here: the result's stream drops std::hex between inserts
    snprintf(why, sizeof why, "byte 0x%tx differs; size 0x%zx, not 0x%zx",
             at.first - expected.begin(), actual.size(), expected.size());
    return ::testing::AssertionFailure() << why;
}

static std::vector<char *> argv_of(std::vector<std::string> &args, const std::string &image)
{
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back((a = !image.empty() && a.starts_with("@") ? image + a.substr(1) : a).data());
    argv.push_back(nullptr);
    return argv;
}

// fds[0..2] as standard input, output and error; the ones before kept if asked.
static void std_fds(const int fds[3], int *before = nullptr)
{
    for (int k = 0; k < 3; k++) {
        if (before)
            before[k] = dup(k);
        dup2(fds[k], k);
        close(fds[k]);
    }
}

here_t run_here(const std::string &image, std::vector<std::string> args, const std::string &input,
                unsigned long fail, img_fault_mode_t mode)
{
    const std::string in = image + ".in", out = image + ".out", err = image + ".err";
    put_file(in, input), fflush(nullptr);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    int saved[3], files[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), flags, 0600),
                              open(err.c_str(), flags, 0600)};
    std_fds(files, saved);
    args.insert(args.begin(), "norvask_oem_tool");
    const unsigned long before = img_calls();
    img_fault_after(fail, mode);
    here_t r{"", "", oem_tool_main((int)args.size(), argv_of(args, image).data()), 0};
    img_fault_clear(), r.calls = img_calls() - before;
    fflush(nullptr), clearerr(stdout);
    std_fds(saved);
    r.out = file_text(out), r.err = file_text(err);
    unlink(in.c_str()), unlink(out.c_str()), unlink(err.c_str());
    return r;
}

void each_fault(unsigned long calls,
                const std::function<void(unsigned long, img_fault_mode_t)> &check)
{
    for (img_fault_mode_t mode : {IMG_FAULT_ERROR, IMG_FAULT_PARTIAL})
        for (unsigned long n = 1; n <= calls; n++) {
            SCOPED_TRACE("image call " + std::to_string(n) +
                         (mode == IMG_FAULT_ERROR ? " fails" : " half-written"));
            check(n, mode);
        }
}

child_t start_tool(const std::vector<std::string> &args, const std::function<void()> &setup,
                   const char *prog)
{
    int in[2], out[2];
    EXPECT_EQ(0, pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC)) << "the pipes to the tool";
    signal(SIGPIPE, SIG_IGN);  // a tool that ends before reading every answer
    child_t c{fork(), in[1], out[0]};
    if (c.pid == 0) {
        const int fds[3] = {in[0], out[1], dup(out[1])};
        std_fds(fds);
        signal(SIGPIPE, SIG_DFL), signal(SIGXFSZ, SIG_IGN);
        if (setup)
            setup();
        std::vector<std::string> all = args;
        all.insert(all.begin(), prog);
        execv(prog, argv_of(all, "").data());
        _exit(127);
    }
    close(in[0]), close(out[1]);
    return c;
}

std::string read_until(child_t &c, const std::string &end)
{
    std::string text;
    char buf[4096];  // a byte at a time while waiting for `end`: no more is read
    for (ssize_t got; (end.empty() || !text.ends_with(end)) &&
                      (got = read(c.out_fd, buf, end.empty() ? sizeof buf : 1)) > 0;)
        text.append(buf, (size_t)got);
    return text;
}

run_t finish_tool(child_t c, const std::string &input)
{
    // The tool may have closed the pipe: the transcript tells.
    (void)!write(c.in_fd, input.data(), input.size()), close(c.in_fd);
    run_t r{read_until(c, ""), -1};
    close(c.out_fd), waitpid(c.pid, &r.status, 0);
    r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -WTERMSIG(r.status);
    return r;
}

// The menu of family 0 (V) or 1 (R).
static std::string menu(const std::string &path, char family)
{
    return "\n" + std::string(60, '=') +
           "\nPlease read User_Manual carefully before configuring!!!\n[Note] Modifying file : " +
           path + "\nTo select config option:\n01. Main switch of config val\n" +
           (family == 'V'
                ? "02. YT8521s LED config\n03. MV1512 LED config\n04. INNER LED config\n"
                  "05. GPIO OEM config \n06. MV1512 PHY MODE config\n07. Show config val\n"
                  "08. Show Menu\n09. Enable or Disable SMBUS ARP function\n"
                  "10. WOL Wake IO pull down time config\n"
                  "11. LLDP TX default switch settings\n12. Network port disable\n"
                : "02. INNER LED config\n03. Show config val\n04. Show Menu\n"
                  "05. Enable or Disable SMBUS ARP function\n"
                  "06. LLDP TX default switch settings\n") +
           "00. Exit\n";
}

static std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// What the listing prints of `image`: the ten OEM words, the LLDP word.
static std::string listing(const bytes_t &image)
{
    std::string text = "\nConfiguration List:\n";
    char line[40];
    for (uint32_t i = 0; i <= 10 && image.size() >= IMG_MIN_SIZE; i++) {
        const uint32_t at = i < 10 ? OEM + 4 * i : LLDP;
        snprintf(line, sizeof line, "0x%x : 0x%x\n", at, word_at(image, at));
        text += line;
    }
    return text + "\n";
}

void run_rows(const std::vector<row_t> &rows)
{
    for (const row_t &r : rows)
        for (const char *eol : {"\n", "\r\n"}) {
            fixture_t fx = make_fixture(r.plan, r.pre);
            const bytes_t want = expected(fx.bytes, r.changed, r.tmpl);
            std::string out = replace_all(r.out, "@V", menu(fx.path, 'V'));
            out = replace_all(replace_all(out, "@R", menu(fx.path, 'R')), "%P", fx.path);
            out = replace_all(out, "%L", listing(want));
            std::vector<std::string> args = r.args;
            argv_of(args, fx.path);
            SCOPED_TRACE(::testing::PrintToString(args) + ", answers " +
                         ::testing::PrintToString(r.in.substr(0, 80)) + (eol[1] ? " CR LF" : ""));
            run_t got = finish_tool(start_tool(args), replace_all(r.in, "\n", eol));
            EXPECT_EQ(out, got.out);
            EXPECT_EQ(r.status, got.status);
            EXPECT_TRUE(same_image(want, read_file(fx.path)));
        }
}
