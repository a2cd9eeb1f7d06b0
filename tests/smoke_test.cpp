#include "harness.h"

TEST(Smoke, ExitLeavesImageUnchanged)
{
    fixture_t fx = make_fixture(board(0, 0x10));
    run_t r = run_session(fx, "0\n");
    EXPECT_EQ(vn_menu(fx.path) + PROMPT, r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(same_image(fx.bytes, read_file(fx.path)));
    remove_fixture(fx);
}
