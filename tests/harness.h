// Test helpers: fixture images, the tool in this process or as a child, the menus, a session table.
#ifndef NORVASK_TEST_HARNESS_H
#define NORVASK_TEST_HARNESS_H

#include <sys/resource.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_gen.h"
#include "sys_fault.h"

enum : uint32_t {
    OEM = 0xFF000,
    GPIO = 0xFF004,
    LED = 0xFF008,
    LED2 = 0xFF00C,
    MODE = 0xFF010,
    ARP = 0xFF014,
    WOL = 0xFF018,
    LLDP = 0xF1000,
    ERASED = 0xFFFFFFFF
};

#define NO "norvask_oem_tool: "  // every message of the tool begins so

typedef std::vector<uint8_t> bytes_t;
typedef std::vector<std::pair<uint32_t, uint32_t>> words_t;  // address, value
struct fixture_t {                                           // an image file, removed with it
    std::string path;
    bytes_t bytes;
    ~fixture_t();
};

image_plan_t board(int family, uint32_t phy_code, uint32_t ports = 4);
fixture_t make_fixture(const image_plan_t &plan, const words_t &words = {});  // patterned
bytes_t read_file(const std::string &path);
inline std::string file_text(const std::string &path)
{
    bytes_t b = read_file(path);
    return {b.begin(), b.end()};
}
void put_file(const std::string &path, const std::string &text);
inline bool exists(const std::string &path)  // a dangling link too
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
inline void put_back(const fixture_t &fx)
{
    put_file(fx.path, std::string(fx.bytes.begin(), fx.bytes.end()));
}
bytes_t with_words(bytes_t bytes, const words_t &words);
// `words` over `bytes`, and template `tmpl`'s block (0: none) over the header block.
bytes_t expected(const bytes_t &bytes, const words_t &words, uint32_t tmpl);
uint32_t word_at(const bytes_t &bytes, uint32_t addr);
// A failure names the first byte that differs.
::testing::AssertionResult same_image(const bytes_t &expected, const bytes_t &actual);

// oem_tool_main here, a leading "@" standing for `image`; image call `fail` (1: the next) goes
// wrong in `mode`.
struct here_t {
    std::string out, err;
    int status;
    unsigned long calls;
};
here_t run_here(const std::string &image, std::vector<std::string> args,
                const std::string &input = "", unsigned long fail = 0,
                img_fault_mode_t mode = IMG_FAULT_ERROR);
// `check` with each image call 1..calls failing, then with each half-written.
void each_fault(unsigned long calls,
                const std::function<void(unsigned long, img_fault_mode_t)> &check);

// The built tool (or `prog`) as a child on pipes, error joined to output, SIGXFSZ ignored, `setup`
// run before the exec; status: the exit's, or minus the signal.
struct run_t {
    std::string out;
    int status;
};
struct child_t {
    int pid, in_fd, out_fd;
};
child_t start_tool(const std::vector<std::string> &args,
                   const std::function<void()> &setup = nullptr, const char *prog = TOOL_PATH);
std::string read_until(child_t &c, const std::string &end);  // "": to the end
run_t finish_tool(child_t c, const std::string &input);      // answers, end of input, the rest
inline void set_limit(int resource, rlim_t value)
{
    const rlimit l = {value, value};
    setrlimit(resource, &l);
}

// A dialogue session of the built tool on a fresh fixture, with LF and with CR LF.
struct row_t {
    image_plan_t plan = board(0, 0x10);
    words_t pre = {};  // over the fixture
    std::string in = "";
    std::string out = "";  // "@V", "@R": the menus; "%P": the image; "%L": the expected listing
    words_t changed = {};  // the image expected: these words over the fixture, then `tmpl`
    int status = 0;
    std::vector<std::string> args = {"-f", "@"};
    uint32_t tmpl = 0;
};
void run_rows(const std::vector<row_t> &rows);

#endif
