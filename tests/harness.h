// Test helpers: fixture images, running the built tool on scripted input,
// and the menu texts as the user sees them.
#ifndef NORVASK_TEST_HARNESS_H
#define NORVASK_TEST_HARNESS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "image_gen.h"

typedef std::vector<uint8_t> bytes_t;
typedef std::vector<std::pair<uint32_t, uint32_t>> words_t;

// A fixture image in its own temporary file, painted with the pattern
// outside the words the tool owns.
struct fixture_t {
    std::string path;
    bytes_t bytes;  // as written
};

// Sub-system id of a board: family 0 or 1 with an OEM PHY code and ports.
image_plan_t board(int family, uint32_t phy_code, uint32_t ports = 4);
image_plan_t erased_sid_board(void);
fixture_t make_fixture(const image_plan_t &plan, const words_t &words = {});
void remove_fixture(const fixture_t &fx);

bytes_t read_file(const std::string &path);
void write_file(const std::string &path, const bytes_t &bytes);
// The bytes with the given little-endian words stored over them.
bytes_t with_words(bytes_t bytes, const words_t &words);
uint32_t word_at(const bytes_t &bytes, uint32_t addr);
// Fails with the first differing offset instead of a megabyte dump.
::testing::AssertionResult same_image(const bytes_t &expected, const bytes_t &actual);

struct run_t {
    std::string out;
    int status;  // exit status, or 128 + signal
};

struct run_opts_t {
    long fsize_limit = -1;  // bytes; writes at or past it fail (SIGXFSZ ignored)
};

run_t run_tool(const std::vector<std::string> &args, const std::string &input,
               const run_opts_t &opts = {});
// The usual session: norvask_oem_tool -f <fixture> with the answers given.
run_t run_session(const fixture_t &fx, const std::string &input, const run_opts_t &opts = {});

// A tool left running with a pipe as its standard input; its output goes to
// out_path. finish_tool writes the rest of the answers, closes the pipe and
// waits for the exit.
struct child_t {
    int pid;
    int in_fd;
    std::string out_path;
};
child_t start_tool(const std::vector<std::string> &args);
run_t finish_tool(child_t &c, const std::string &input);

// Console texts shared by many transcripts.
std::string vn_menu(const std::string &path);
std::string mr_menu(const std::string &path);
extern const char *const PROMPT;      // "\nInput your number:"
extern const char *const INPUT_ENDED; // the end-of-input error line

#endif
