// Test helpers: fixture images, the tool in this process or as a child, menus, a runner of sessions.
#ifndef NORVASK_TEST_HARNESS_H
#define NORVASK_TEST_HARNESS_H

#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_gen.h"
#include "sys_fault.h"

#define P "\nInput your number:"
#define END "\n[Error] Input ended, the unfinished command was undone!\n"  // inside a command
#define MENU_END "\n[Error] Input ended!\n"                                 // at a menu read
#define OPEN_FAIL "[Error] Fail to open file!\n"
#define WHY(path, reason) "norvask_oem_tool: " path ": " reason "\n"  // on standard error, before the output
#define READ_FAIL "[Error] Fail to read file!\n"
#define WRITE_FAIL "[Error] Fail to write file!\n"
#define UNDONE "[Warn]The command was undone.\n"
#define NOT_RESTORED "[Warn]The image could not be restored!\n"
#define G "Please input config val of GPIO :"

enum : uint32_t { OEM = 0xFF000, GPIO = 0xFF004, LED = 0xFF008, LED2 = 0xFF00C, MODE = 0xFF010,
                  ARP = 0xFF014, WOL = 0xFF018, LLDP = 0xF1000, ERASED = 0xFFFFFFFF };

typedef std::vector<uint8_t> bytes_t;
typedef std::vector<std::pair<uint32_t, uint32_t>> words_t;
struct fixture_t { std::string path; bytes_t bytes; ~fixture_t(); };  // an image file as written, removed with it

image_plan_t board(int family, uint32_t phy_code, uint32_t ports = 4);  // family 0 or 1, an OEM PHY code
fixture_t make_fixture(const image_plan_t &plan, const words_t &words = {});  // patterned, `words` over it
bytes_t read_file(const std::string &path);
inline std::string file_text(const std::string &path) { bytes_t b = read_file(path); return {b.begin(), b.end()}; }
void put_file(const std::string &path, const std::string &text);
inline void put_back(const fixture_t &fx) { put_file(fx.path, std::string(fx.bytes.begin(), fx.bytes.end())); }
bytes_t with_words(bytes_t bytes, const words_t &words);  // little-endian words stored over the bytes
uint32_t word_at(const bytes_t &bytes, uint32_t addr);
::testing::AssertionResult same_image(const bytes_t &expected, const bytes_t &actual);  // names a word
std::string vn_menu(const std::string &path), mr_menu(const std::string &path);

// oem_tool_main here, "@..." arguments starting with `image`; image call `fail` (1: the first) fails in `mode`.
struct here_t { std::string out, err; int status; unsigned long calls; };
here_t run_here(const std::string &image, std::vector<std::string> args, const std::string &input = "",
                unsigned long fail = 0, img_fault_mode_t mode = IMG_FAULT_ERROR);
// `check` for each image call 1..calls failing, with an I/O error and with half a block written.
void each_fault(unsigned long calls, const std::function<void(unsigned long, img_fault_mode_t)> &check);

// The built tool (or `prog`) as a child on pipes, output and error together, `setup` run before the exec
// (SIGXFSZ ignored unless it says otherwise); status: the exit's, or minus the signal that ended it.
struct run_t { std::string out; int status; };
struct child_t { int pid, in_fd, out_fd; };
child_t start_tool(const std::vector<std::string> &args, const std::function<void()> &setup = nullptr,
                   const char *prog = TOOL_PATH);
std::string read_output(child_t &c, size_t n);  // n bytes, fewer at the end
run_t finish_tool(child_t c, const std::string &input);  // answers, end of input, the rest
inline run_t run_tool(const std::vector<std::string> &args, const std::string &input) { return finish_tool(start_tool(args), input); }
inline void set_limit(int resource, rlim_t value) { const rlimit l = {value, value}; setrlimit(resource, &l); }

// A session of the built tool on a fresh fixture, with LF and CR LF answers; in `out` "@V"/"@R" are the
// menus, "%P" the image, "%L" the listing of the image expected: `changed` over it, the `tmpl` block over the header.
struct row_t {
    image_plan_t plan; words_t pre; std::string in, out; words_t changed = {}; int status = 0;
    std::vector<std::string> args = {"-f", "@"}; uint32_t tmpl = 0; std::function<void()> setup = nullptr;
};
void run_rows(const std::vector<row_t> &rows);

#endif
