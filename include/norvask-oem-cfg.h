// norvask_oem_tool: edits the OEM configuration stored in a network
// controller's 1 MiB flash image file, in place.
#ifndef NORVASK_OEM_CFG_H
#define NORVASK_OEM_CFG_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// OEM_VERSION_MAIN, OEM_VERSION_SUB, OEM_VERSION_UPDATE come from the build.
#include "norvask-version.h"

#define TOOL_NAME "norvask_oem_tool"

// ---------------------------------------------------------------- bits
#define BIT_0   0x00000001u
#define BIT_1   0x00000002u
#define BIT_2   0x00000004u
#define BIT_3   0x00000008u
#define BIT_4   0x00000010u
#define BIT_5   0x00000020u
#define BIT_6   0x00000040u
#define BIT_7   0x00000080u
#define BIT_8   0x00000100u
#define BIT_9   0x00000200u
#define BIT_10  0x00000400u
#define BIT_11  0x00000800u
#define BIT_12  0x00001000u
#define BIT_13  0x00002000u
#define BIT_14  0x00004000u
#define BIT_15  0x00008000u
#define BIT_16  0x00010000u
#define BIT_17  0x00020000u
#define BIT_18  0x00040000u
#define BIT_19  0x00080000u
#define BIT_20  0x00100000u
#define BIT_21  0x00200000u
#define BIT_22  0x00400000u
#define BIT_23  0x00800000u
#define BIT_24  0x01000000u
#define BIT_25  0x02000000u
#define BIT_26  0x04000000u
#define BIT_27  0x08000000u
#define BIT_28  0x10000000u
#define BIT_29  0x20000000u
#define BIT_30  0x40000000u
#define BIT_31  0x80000000u
#define CBIT(n) BIT_##n

// ---------------------------------------------------------------- image map
// Every item the tool touches is a little-endian 32-bit word at an aligned
// byte offset of the raw flash image.
#define IMG_WORD_SIZE 4u
#define IMG_MIN_SIZE  0xFFFE0u     // end of the sub-system id word
#define INVALID_ID    0xFFFFFFFFu  // erased flash: the word was never set
#define ALL_BITS      0xFFFFFFFFu  // a mask that keeps the whole word

#define IMG_HEADER_ADDR  0x00000u  // 1 KiB header block
#define IMG_HEADER_WORDS 256u
#define IMG_HEADER       0x5AA51000u  // magic in word 0 of every header block
#define PORT_MASK_ADDR   0x0016Cu     // port mask word inside a header block
#define PORT_MASK_FIELD  0xFu         // bits 0-3: enabled ports, contiguous

#define LLDP_START_ADDR 0xF1000u  // LLDP transmit default, bits 0-3
#define LLDP_END_ADDR   0xF2000u
#define LLDP_TX_FIELD   0xFu
#define LLDP_RESET_VAL  0xFu

// Port-count templates: complete header blocks for 4..1 enabled ports.
#define ENABLE_FOUR_PORTS  0xFD000u
#define ENABLE_THREE_PORTS 0xFD400u
#define ENABLE_TWO_PORTS   0xFD800u
#define ENABLE_ONE_PORT    0xFDC00u
#define MAX_PORT_NUM       4

// Template by number of remaining ports, one to four.
constexpr uint32_t PORT_TEMPLATES[MAX_PORT_NUM] = {ENABLE_ONE_PORT, ENABLE_TWO_PORTS,
                                                   ENABLE_THREE_PORTS, ENABLE_FOUR_PORTS};
// Port mask of n enabled ports, contiguous from port 0 (1, 3, 7, 15).
constexpr uint32_t port_count_mask(unsigned ports)
{
    return (1u << ports) - 1;
}

// OEM configuration area
#define OEM_CFG_ADDR      0xFF000u  // signature and enable bits
#define GPIO_CFG_ADDR     0xFF004u
#define LED_CFG_ADDR      0xFF008u  // second word at +4 for the YT8521S
#define LED_CFG2_ADDR     (LED_CFG_ADDR + IMG_WORD_SIZE)
#define PHY_MODE_CFG_ADDR 0xFF010u  // family 0
#define MR_SMBUS_ARP_ADDR 0xFF010u  // family 1
#define VN_SMBUS_ARP_ADDR 0xFF014u  // family 0
#define WOL_CFG_ADDR      0xFF018u
#define OEM_CFG_END_ADDR  0xFF028u  // last word cleared by the area reset
#define OEM_LIST_WORDS    10u       // words shown by the raw listing

#define SUB_SYS_ID_ADDR 0xFFFDCu
#define IMG_FLASH_SIZE  0x100000u  // a whole 1 MiB flash

// ---------------------------------------------------------------- OEM configuration word
#define MAGIC_MASK              0x55AAu  // signature in bits 0-15
#define OEM_SIG_FIELD           0xFFFFu
#define GPIO_OEM_EN             CBIT(16)
#define LED_OEM_EN              CBIT(17)
#define WOL_DIS_EN              CBIT(18)
#define NCSI_DIS_EN             CBIT(19)
#define Marvell_PHY_MODE_OEM_EN CBIT(20)
#define SMBUS_ARP_OEM_EN        CBIT(21)
#define WAKE_IO_OEM_EN          CBIT(22)
#define LLDP_TX_OEM_EN          CBIT(23)
#define NETPORT_DISABLE_EN      CBIT(24)

// ---------------------------------------------------------------- value word encodings
#define GPIO_VAL_FIELD       0xFFFFu
#define HALF_WORD_FIELD      0xFFFFu  // YT8521S: LED0/LED2 low, LED1/blink high
#define HALF_WORD_SHIFT      16
#define MV_LED_STORE_MASK    0x01CF00FFu
#define INNER_LED_STORE_MASK 0x00FFFFFFu
#define WOL_TIME_FIELD       0xFFFFu
#define WOL_TIME_MAX         65535
#define LLDP_TX_MAX          15
#define SMBUS_ARP_ON         0xFu
#define SMBUS_ARP_OFF        0xEu
#define SMBUS_ARP_STATE_BIT  CBIT(0)
#define PHY_MODE_PORT_FIELD  0x7u  // 3 bits per port, one byte apart
#define PHY_MODE_PORT_STRIDE 8

// ---------------------------------------------------------------- sub-system id word
#define SID_PORT_NUM_FIELD   0x7u  // bits 0-2
#define SID_WOL_BIT          CBIT(6)
#define SID_NCSI_BIT         CBIT(7)
#define SID_PHY_CODE_SHIFT   8  // bits 8-15: OEM PHY code
#define SID_PHY_CODE_FIELD   0xFFu
#define SID_DEV_HI_FIELD     0x00FF0000u  // device id, high byte first
#define PHY_CODE_FAMILY_MASK 0xF0u        // family 1 classifies by high nibble

// ---------------------------------------------------------------- chip family, PHY class
#define Vantrel  0
#define Mirolane 1

// Device ids of the family-1 controllers; every other id is family 0.
#define MR_DEVICE_ID_A 0x1001u
#define MR_DEVICE_ID_B 0x2001u
#define VN_DEVICE_ID   0x1000u  // an id of family 0, for images made for it

#define PHY_OTHER     'O'
#define PHY_YT        'Y'
#define PHY_MV_FIBER  'F'
#define PHY_MV_COPPER 'C'
#define PHY_MV        'M'
#define PHY_INNER     'I'
#define COPPER_PHY_ID 'E'
#define FIBER_PHY_ID  'I'

// ---------------------------------------------------------------- console
// Validated number prompt: a negative answer is refused with the standard
// text and `expr` (plus any further statements) runs, normally `continue`.
#define CHECK(exp, tar, expr, ...)                                                                 \
    if (int _ret = (int)(exp); _ret < (int)(tar)) {                                                \
        printf("ERROR, Input Value (%d) < (%d) invalid\n", _ret, (int)(tar));                      \
        expr;                                                                                      \
        __VA_ARGS__;                                                                               \
    }

enum num_base_t { BASE_DEC = 10, BASE_HEX = 16 };

// Outcome of one number read at the console.
enum num_read_t {
    NUM_OK,     // a number that fits in 32 bits
    NUM_NONE,   // no number on the line; the variable keeps its value
    NUM_RANGE,  // a number that does not fit in 32 bits
    NUM_EOF,    // standard input ended before a number
};

// Outcome of the menu number read.
enum menu_read_t { MENU_OK, MENU_ILLEGAL, MENU_OUT_OF_RANGE, MENU_EOF, MENU_OUTPUT_FAILED };

enum yes_no_t { ANSWER_EOF = -1, ANSWER_NO = 0, ANSWER_YES = 1 };

void con_reset(void);
bool con_input_ended(void);
bool con_output_failed(void);
int con_output_errno(void);  // why standard output failed, 0 if no reason was given
bool con_flush(void);
void con_note_signal(int sig);
int con_interrupted(void);
void clear_flush(FILE *fp);
bool prompt_number(const char *prompt, num_base_t base, uint32_t *var);
bool ask_number(const char *prompt, num_base_t base, int32_t min, int32_t max, const char *refusal,
                int32_t refusal_arg, int32_t *value);
yes_no_t ask_yes_no(const char *question);
menu_read_t read_menu_number(int *num);
void fput_escaped(const char *s, int len, FILE *to);

// Every "norvask_oem_tool: ..." line: the prefix, fmt as printf formats it,
// the line end (src/frontend/message.cpp).
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// A message said in pieces: its lead (the tool's name on standard error,
// the dialogue's [Warn] on standard output), then the caller's pieces and
// a newline on the stream returned.
FILE *say_begin(FILE *to);
// s (its first len bytes; -1: up to its NUL) as a message shows it, control
// characters escaped; the text lasts until the fourth call after.
const char *shown(const char *s, int len);
// The first of names within two edits of word's len bytes, or NULL.
const char *nearest_word(const char *word, int len, const char *const *names, int n);

// ---------------------------------------------------------------- image store
// The image is opened and locked once, at start-up, and kept for the run.
// Each command cycle reads every region it touches (the header block, the
// port-count templates, the LLDP word, the OEM area, the sub-system id) with
// one positioned read on first use and serves later reads from that copy;
// writes go through to the file at once. The first write of a cycle into a
// region keeps the bytes it replaces: that undo record lets the command loop
// either commit the whole command or put every byte back.
#define IMG_MAX_REGIONS 8
#define IMG_NREGIONS                                                                               \
    5  // the header block, the templates, the LLDP word, the OEM area, the sub-system id
#define IMG_REGION_CAP 0x1000u  // the largest region, the four templates

// The first failure of a cycle. A failed verification has printed its own
// message already.
enum img_fail_t { IMG_OK, IMG_READ_FAIL, IMG_WRITE_FAIL, IMG_VERIFY_FAIL };

typedef struct {
    uint32_t start, len;  // bytes of the image
    bool loaded;          // cur holds the file's bytes (and this cycle's writes)
    bool saved;           // orig holds the bytes before this cycle's first write
    bool verify;          // batched: read back from the file once written (a header copy)
    uint32_t lo, hi;      // written bytes [lo, hi) relative to start
    unsigned char cur[IMG_REGION_CAP];
    unsigned char orig[IMG_REGION_CAP];
} img_region_t;

// What the start found beside the image. A writer undoes an interrupted
// command from its journal before anything else; a reader shows the image
// as that undo will leave it. The refusals leave image and journal alone.
// How each is told is a row of journal_found (src/frontend/ending.cpp).
enum img_journal_t {
    JOURNAL_NONE,
    JOURNAL_UNDONE,   // a writer undid an interrupted command from it, and removed it
    JOURNAL_EMPTY,    // cut off before its first record: it holds no change (a writer removed it)
    JOURNAL_PENDING,  // a reader shows the image as the undo will leave it
    JOURNAL_FOREIGN,  // not a journal of this tool, or of a user who could not have written the
                      // image: a reader reads the image as it is, a writer refuses
    JOURNAL_FOREIGN_STICKY,   // the same, in a sticky directory where this user cannot remove it
    JOURNAL_DAMAGED,          // its header or a record impossible or cut: refused
    JOURNAL_MISMATCH,         // of another image, or the image changed since, and the parts it
                              // covers hold none of its writes: refused
    JOURNAL_MISMATCH_PARTLY,  // the same, with the parts it covers changed: refused
    JOURNAL_UNREADABLE,       // trusted, but this user cannot read it: refused
    JOURNAL_CANNOT_TELL,      // whether one is pending cannot be seen: refused
    JOURNAL_CANNOT_APPLY,     // pending, but this user cannot apply and remove it: refused
    JOURNAL_STUCK,            // the undo could not be written back: refused
    JOURNAL_NOT_REMOVED,      // the undo was written back, but the journal could not be removed
};

// Where the store is in its run; the moves between states are drawn at the
// top of src/image/image.cpp.
enum img_state_t {
    IMG_CLOSED,   // no image held: before img_start, after img_end
    IMG_IDLE,     // held, between command cycles
    IMG_OPEN,     // a cycle begun: read, nothing written yet
    IMG_WRITING,  // the cycle wrote (batched: holds its writes for the sync)
    IMG_SYNCED,   // its writes durable; the output and the journal's removal to come
};

typedef struct {
    img_state_t state;
    int fd;
    const char *path;
    uint64_t dev, ino;  // the locked file; every cycle must still find it at path
    uint64_t size;      // its bytes
    img_fail_t failed;  // the first failure of the cycle; later accesses fail at once
    bool dry_run;       // writes change the copy only, never the file (always so when read-only)
    bool batched;       // writes reach the file at the cycle's sync, each region once
    const char *why;    // why the image could not be opened or used, for the user
    int order[IMG_MAX_REGIONS];  // regions in the order of their first write
    int nwritten;
    img_region_t region[IMG_MAX_REGIONS];
    // The journal beside the image (src/image/journal.cpp keeps its state):
    // what the start found there, and the words for the user.
    img_journal_t journal;
    char jpath[4096];        // its name, for messages; empty when none is kept
    const char *no_journal;  // why none can be kept beside the image, or NULL
    const char *jwhy;        // why a journal call failed, or NULL
    unsigned jowner;         // the user a found journal belongs to
} img_t;

// What the start found beside the image, as the front ends tell it.
typedef struct {
    img_journal_t found;
    const char *image, *journal;  // their paths; journal empty when none is kept
    const char *no_journal;       // why none can be kept beside the image, or NULL
    const char *why;              // why a journal call failed, or NULL
    unsigned owner;               // the user a found journal belongs to
} img_found_t;
img_found_t img_found(const img_t *img);

// IMG_ON_STD_FD: the image took descriptor 0, 1 or 2, so one of them is
// closed; it is closed again at once, never read or written.
enum img_start_t { IMG_STARTED, IMG_CANNOT_OPEN, IMG_IN_USE, IMG_TOO_SHORT, IMG_ON_STD_FD };
enum img_undo_t { IMG_NOTHING_TO_UNDO, IMG_UNDONE, IMG_NOT_RESTORED };
// A writer holds the image for update under an exclusive lock (BATCHED: its
// writes wait for the cycle's sync, which writes each region once); readers
// (show, save, a dry run) open it read-only under a shared lock, so any
// number of them run at once and a user who may only read the file can.
enum img_mode_t { IMG_UPDATE, IMG_READ_ONLY, IMG_UPDATE_BATCHED };

// The signals that end the tool; an undo is never cut short by one.
extern const int TERMINATING_SIGNALS[4];

// How a command cycle ended: why, and what became of the image.
enum img_end_why_t {
    IMG_END_DONE,         // committed: synced, the output out, the journal removed
    IMG_END_FAILED,       // a read, write, sync or check failed (`failure` says which): undone
    IMG_END_ASKED,        // the caller asked for the undo
    IMG_END_WITHDRAWN,    // the caller's output hook said no: undone
    IMG_END_NOT_REMOVED,  // the journal could not be removed for good: undone
};
typedef struct {
    img_end_why_t why;
    img_undo_t undo;      // IMG_NOTHING_TO_UNDO when nothing was put back
    img_fail_t failure;   // the cycle's first failure
    int error;            // errno of that failure, 0 when it set none
    bool written;         // the cycle had changed the file
    const char *jwhy;     // why a journal call failed, or NULL
    const char *journal;  // the journal's path, for messages; empty when none is kept
    bool journal_kept;    // an undo failed: the journal stays for the next start to undo it
} img_outcome_t;

// The caller's part of a commit: writes the command's output out and says
// whether the command may stand (no signal has come). The store calls it
// once the cycle's writes are durable, just before the journal goes.
typedef bool (*img_output_t)(void *ctx);

void img_init(img_t *img);
img_start_t img_start(img_t *img, const char *path, img_mode_t mode, long *size);
bool img_cycle_begin(img_t *img);
img_fail_t img_failure(const img_t *img);
void img_mark_failed(img_t *img, img_fail_t why);
// Ends the cycle: commits it (its writes synced, output(ctx) asked, the
// journal removed) or, when asked, failed or refused, puts every byte back.
img_outcome_t img_cycle_end(img_t *img, bool commit, img_output_t output, void *ctx);
bool img_end(img_t *img);
int img_region_index(uint32_t addr, uint32_t len);
uint32_t img_region_start(int i);
uint32_t img_region_len(int i);

// The system calls of the image layer (src/image/sys.cpp), each through
// this table, so that a test can put its own in place of any of them.
struct stat;
typedef struct {
    ssize_t (*pread)(int fd, void *buf, size_t n, off_t at);
    ssize_t (*pwrite)(int fd, const void *buf, size_t n, off_t at);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*fstat)(int fd, struct stat *st);
    int (*stat)(const char *path, struct stat *st);
    int (*fstatat)(int dir, const char *name, struct stat *st, int flags);
    int (*open)(const char *path, int flags, mode_t mode);
    int (*openat)(int dir, const char *name, int flags, mode_t mode);
    int (*flock)(int fd, int op);
    int (*unlinkat)(int dir, const char *name, int flags);
    int (*faccessat)(int dir, const char *name, int how, int flags);
    off_t (*lseek)(int fd, off_t at, int whence);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t uid, gid_t gid);
} img_sys_t;
extern img_sys_t g_img_sys;

// Calls fn for each word the cycle changed, in address order, with its value
// before the cycle's first write and now.
void img_each_change(const img_t *img,
                     void (*fn)(uint32_t addr, uint32_t before, uint32_t now, void *ctx),
                     void *ctx);

bool wt_img(img_t *fp, uint32_t addr, uint32_t data);
bool rd_img(img_t *fp, uint32_t addr, uint32_t *data);
bool rd_img_words(img_t *fp, uint32_t addr, uint32_t *words, size_t n);
bool wt_img_words(img_t *fp, uint32_t addr, const uint32_t *words, size_t n);
bool img_reread_words(img_t *fp, uint32_t addr, uint32_t *words, size_t n);

// A bit field of a word, bits lo..hi inclusive.
typedef struct {
    unsigned lo, hi;
} field_t;

constexpr uint32_t field_get(uint32_t word, field_t f)
{
    uint32_t width = f.hi - f.lo + 1;
    uint32_t mask = width >= 32 ? ALL_BITS : (1u << width) - 1;
    return (word >> f.lo) & mask;
}

constexpr field_t LOW_HALF = {0, 15};
constexpr field_t HIGH_HALF = {16, 31};
constexpr field_t MV_LED_POLARITY = {16, 19};  // as the editor stores it
constexpr field_t MV_LED_LED = {0, 7};
constexpr field_t MV_LED_POLARITY_WIDE = {16, 21};  // as the report decodes it
constexpr field_t MV_LED_LED_WIDE = {0, 11};
constexpr field_t MV_LED_BLINK = {22, 24};
constexpr field_t INNER_LED_POLARITY = {16, 23};
constexpr field_t INNER_LED_LED = {0, 15};

// Marvell PHY mode of port n: three bits at the start of byte n.
constexpr field_t phy_mode_port(unsigned n)
{
    return field_t{PHY_MODE_PORT_STRIDE * n, PHY_MODE_PORT_STRIDE * n + 2};
}

// ---------------------------------------------------------------- board
typedef struct {
    uint8_t root : 1;
    uint8_t out : 1;
} user_auth_t;

typedef struct {
    uint32_t version;
    uint32_t update;
    uint8_t chip_vers;
    uint8_t port_num;
    uint8_t valid_port;
    uint8_t phy_type;
    uint8_t wol;
    uint8_t ncsi;
    uint8_t gpio;
    user_auth_t user;
    uint32_t date;
    volatile uint32_t event;
    volatile uint32_t line;
    volatile uint32_t tick;
    volatile uint16_t uart_rx_blk_cnt;
    volatile uint16_t ncsi_tx_blk_cnt;
    uint32_t efuse[4][2];
    uint16_t cmd_cnt;
    uint16_t oem_flag;
} sys_ctrl_t;

extern sys_ctrl_t g_cfg;

typedef struct {
    uint8_t code;
    char phy;
} phy_code_row_t;

typedef struct {
    uint8_t nibble;  // OEM PHY code AND PHY_CODE_FAMILY_MASK
    char phy;
} phy_nibble_row_t;

extern const uint16_t mr_type[2];
extern const phy_code_row_t vn_phy_codes[];
extern const size_t vn_phy_codes_len;
extern const phy_nibble_row_t mr_phy_nibbles[];
extern const size_t mr_phy_nibbles_len;

void check_chip_type(img_t *fp, const char *argv2, int *chip, char *phy);
uint32_t sid_device_id(uint32_t sid);
char vn_load_oem_phy(img_t *fp);
char mr_load_oem_phy(img_t *fp);
uint32_t fw_get_sub_sys_id(img_t *fp);
uint32_t fw_get_port_mask(img_t *fp);
uint32_t fw_get_valid_port(uint32_t mask);
// By name only: the dialogue's board_load_cycle reads the port mask only where a command uses it.
void fw_load_config(sys_ctrl_t *cfg, img_t *fp);
int sid_family(uint32_t sid);
char vn_phy_class(uint32_t sid);
char mr_phy_class(uint32_t sid, bool *known);
bool board_ports_supported(unsigned ports);
void fw_decode_config(sys_ctrl_t *cfg, uint32_t id, uint32_t port_mask);

// A board as the scripted verbs see it: read once, silently.
typedef struct {
    uint32_t sid, port_mask;
    int family;
    char phy;
    bool phy_known;  // family 1: the PHY code's nibble is one the tool knows
    sys_ctrl_t cfg;  // port count, enabled ports, WOL, NCSI
} board_t;

const char *family_name(int family);
#define BOARD_WARNING_LEN 48
bool board_read(img_t *img, board_t *b);
void board_load_cycle(img_t *img, board_t *b, bool with_mask);
// The warnings the dialogue prints about the board, without their layout;
// returns how many were put in texts.
int board_warnings(const board_t *b, char texts[][BOARD_WARNING_LEN], int max);

// ---------------------------------------------------------------- OEM features
// Families as bits, for the rows that say who is offered what.
#define FAMILY_BIT(f) (1u << (f))
#define BOTH_FAMILIES (FAMILY_BIT(Vantrel) | FAMILY_BIT(Mirolane))

// How a feature's answer reaches the image.
enum feature_kind_t {
    FEAT_WORD,   // the answer kept to the store mask, in one word
    FEAT_YT,     // four 16-bit answers, two to a word, in two words
    FEAT_ARP,    // on or off as one of two words
    FEAT_LLDP,   // one word, then the signature stamped
    FEAT_PORTS,  // a port-count template copied over the header block
};

struct feature_t;

// Result of a feature switch, so an editor can tell a finished command from
// one whose answer was cut off.
enum switch_result_t { SWITCH_DONE, SWITCH_SILENT, SWITCH_FAILED, SWITCH_INPUT_ENDED };

// A feature switch: one enable bit of the OEM configuration word, set or
// cleared together with the signature.
typedef struct switch_row_t {
    const char *enable = nullptr;    // the setting that answers it; NULL: none
    const char *question = nullptr;  // NULL: asks nothing and always sets its bit
    // The question by name, after its value and at option 1; NULL: its editor's (ports) or none.
    switch_result_t (*ask)(img_t *fp, uint32_t addr) = nullptr;
    uint32_t bit;
    const char *on = nullptr, *off = nullptr;
    const struct feature_t *value;  // the feature it follows (its enable is listed after it)
    bool silenced = false;          // stays silent while that feature's word is erased
    unsigned option_1 = 0;          // families whose menu option 1 runs it
    const char *help = nullptr;     // its line of --help, after "NAME=yes|no"; @: its options
} switch_row_t;

#define YT_PARTS     4  // LED0, LED1, LED2 and the blink setting
#define YT_LED_WORDS 2  // LED0 and LED1 in the first word, LED2 and blink in the second

// One OEM feature: its setting names, who is offered it, its word, how an
// answer is asked, checked and stored, and its switch. The menus, option 1,
// the reports and the scripted verbs all read these rows.
typedef struct feature_t {
    const char *names[YT_PARTS];    // its settings; one but for the YT halves
    const char *prompts[YT_PARTS];  // the dialogue's questions, one per name
    int nparts;
    feature_kind_t kind;
    unsigned families;
    const char *phys = nullptr;     // PHY classes it is offered for; NULL: every class
    const char *refusal = nullptr;  // the menu's refusal for another class (one %c)
    uint32_t addr[2];               // its value word by family
    num_base_t base;
    int32_t min, max;     // accepted answers
    uint32_t store_mask;  // bits of an answer kept in the word
    void (*confirm)(uint32_t val) = nullptr;
    const switch_row_t *sw = nullptr;
    // The dialogue asks the port count as the ports to disable, 0 to the count less min.
    struct {
        num_base_t base;
        const char *refusal;  // two %d: the answer and the largest answer
    } disabled = {};
    void (*edit)(img_t *fp, uint32_t addr);  // the dialogue's editor, by name
    const char *syntax;                      // its value in --help ("HEX"), after the name and =
    const char *help;  // the rest of its --help line, after the values it takes; @: its options
} feature_t;

#define NFEATURES 9
#define NSWITCHES 6
extern const feature_t FEATURES[NFEATURES];
extern const switch_row_t SWITCHES[NSWITCHES];
// The rows, in menu order.
enum {
    F_YT_LED,
    F_MV_LED,
    F_INNER_LED,
    F_GPIO,
    F_PHY_MODE,
    F_SMBUS_ARP,
    F_WAKE_IO,
    F_LLDP,
    F_PORTS
};
enum { S_LED, S_GPIO, S_PHY_MODE, S_WAKE_IO, S_NETPORT, S_SMBUS_ARP };

bool feature_offered(const feature_t *f, int family, char phy);
uint32_t feature_addr(const feature_t *f, int family);
uint32_t feature_store_value(const feature_t *f, int32_t answer);
int64_t feature_kept_max(const feature_t *f);
bool feature_kept_range(const feature_t *f);
void yt_led_words(const int32_t answers[YT_PARTS], uint32_t words[YT_LED_WORDS]);
uint32_t yt_part_addr(uint32_t addr, int part);
uint32_t yt_part_value(uint32_t word, int part);

// ---------------------------------------------------------------- OEM configuration
bool oem_is_stamped(uint32_t word);
uint32_t oem_stamped(uint32_t word);
switch_result_t led_switch(img_t *fp, uint32_t addr);
switch_result_t gpio_switch(img_t *fp, uint32_t addr);
switch_result_t phy_mode_switch(img_t *fp, uint32_t addr);
switch_result_t wol_wake_io_switch(img_t *fp, uint32_t addr);
switch_result_t netport_disable_switch(img_t *fp);
// By name only: smbus_arp_store sets this bit with the ARP word, for the verbs as for the dialogue.
switch_result_t smbus_arp_switch(img_t *fp, uint32_t addr);

// The stores of src/oem/store.cpp, one per kind of feature, for the dialogue
// once it has asked and for the verbs once they have parsed.
bool switch_silent(img_t *img, uint32_t addr, bool *silent);
bool switch_state(img_t *img, const switch_row_t *sw, bool *on);
bool switch_store(img_t *img, const switch_row_t *sw, bool on);
bool word_store(img_t *img, const feature_t *f, uint32_t addr, int32_t answer, uint32_t *val);
bool yt_store(img_t *img, uint32_t addr, const int32_t answers[YT_PARTS]);
bool smbus_arp_store(img_t *img, uint32_t addr, bool enable);
bool lldp_store(img_t *img, uint32_t addr, int32_t answer);
bool port_template_usable(img_t *img, unsigned remaining, uint32_t *first);
bool port_template_copy(img_t *img, unsigned remaining, FILE *msg);

void gpio_oem_cfg(img_t *fp, uint32_t addr);
void mv_phy_mode_cfg(img_t *fp, uint32_t addr);
void yt8521s_led_cfg(img_t *fp, uint32_t addr);
void mv1512_led_cfg(img_t *fp, uint32_t addr);
void inner_led_cfg(img_t *fp, uint32_t addr);
void smbus_arp_cfg(img_t *fp, uint32_t addr);
void wol_wake_io_cfg(img_t *fp, uint32_t addr);
void lldp_tx_cfg(img_t *fp, uint32_t addr);
void network_port_disable(img_t *fp);
void option_1_switches(img_t *img, int family);

// ---------------------------------------------------------------- settings
// One setting: part `part` of a feature's value, or (sw set) a switch's
// answer. Listed in menu order, each enable after the feature it follows.
typedef struct {
    const feature_t *feature;
    int part;
    const switch_row_t *sw;
} setting_t;

#define MAX_SETTINGS          (NFEATURES + YT_PARTS + NSWITCHES)
#define NSLOTS                (NFEATURES * YT_PARTS + NSWITCHES)
#define MAX_ITEMS             256  // settings on one command line or in one file
#define MSG_TOO_MANY_SETTINGS "more than %d settings given at once"

int settings_all(setting_t out[MAX_SETTINGS]);
const char *setting_name(const setting_t *s);
int setting_slot(const setting_t *s);
int feature_slot(const feature_t *f, int part);
int switch_slot(const switch_row_t *sw);
bool setting_offered(const setting_t *s, const board_t *b);

// One NAME=VALUE, from an argument or a line of a settings file (0: an argument).
typedef struct {
    const char *text;
    unsigned line;
} item_t;

// What one set or apply asks for, by slot.
typedef struct {
    bool named[NSLOTS];  // given, valid or not
    bool given[NSLOTS];  // given with a valid value
    int32_t value[NSLOTS];
    unsigned line[NSLOTS];
    const char *file;  // the settings file the items come from, named as FILE:LINE; NULL: arguments
    const feature_t *valued[NSWITCHES];  // a value given that hands over to switch i
} settings_request_t;

bool request_take(settings_request_t *rq, const item_t *it, const board_t *b);
bool request_check_image(img_t *img, const board_t *b, const settings_request_t *rq);
bool request_store(img_t *img, const board_t *b, const settings_request_t *rq);
// Where a refusal points: "FILE:LINE: ", or "" for an argument.
const char *refusal_at(const settings_request_t *rq, unsigned line);
// The setting named by name's len bytes that this board offers; false, with
// its refusal said, when there is none.
bool setting_named(const settings_request_t *rq, const char *name, int len, unsigned line,
                   const board_t *b, setting_t *s);
// value, which the setting took, as save writes it.
void setting_text(const setting_t *s, int32_t value, char text[16]);

// A setting as the image holds it, in the notation set takes. READ_OTHER:
// `word` at `addr` is one no value of the setting gives.
enum reading_state_t { READ_ERASED, READ_VALUE, READ_OTHER };
typedef struct {
    reading_state_t state;
    uint32_t addr, word;
    char text[16];
} reading_t;

bool setting_read(img_t *img, const board_t *b, const setting_t *s, reading_t *r);

// ---------------------------------------------------------------- reports
void print_oem_words(const uint32_t words[OEM_LIST_WORDS], uint32_t lldp);
void show_cfg_simple(img_t *fp);
void recover_img_oem_area(img_t *fp, uint32_t start_addr, uint32_t end_addr, uint32_t lldp_addr);
void vn_show_cfg(img_t *fp, char phy_type);
void mr_show_cfg(img_t *fp);
int report_warnings(img_t *img, int chip, const char **texts, int max);

bool show_board(img_t *img, const board_t *b, const char *path, bool json);
// The settings file that gives the image back, to standard output only once
// it is whole. False when a word cannot be read.
bool save_settings(img_t *img, const board_t *b);

// ---------------------------------------------------------------- front end
#define MSG_OPEN_FAIL    "[Error] Fail to open file!\n"
#define MSG_WRITE_FAIL   "[Error] Fail to write file!\n"
#define MSG_READ_FAIL    "[Error] Fail to read file!\n"
#define MSG_UNDONE       "[Warn]The command was undone.\n"
#define MSG_NOT_RESTORED "[Warn]The image could not be restored!\n"
// A file whose word 0 is not the image magic: the verbs' warning and refusal.
#define MSG_NOT_MAGIC "word 0 is 0x%x, not the image magic 0x%x: is this a flash image?"

// Exit statuses. The dialogue ends with 0 after option 0, 1 when a command
// failed on the way and was undone, 4 when an undo failed too, and -1 in
// every other case; the verbs as below.
enum {
    EXIT_DONE = 0,
    EXIT_FAILED = 1,        // nothing changed: a write failed and every change was undone
    EXIT_REFUSED = 2,       // bad usage or refused settings; nothing written
    EXIT_NO_IMAGE = 3,      // the image cannot be opened, locked or read, or is too short
    EXIT_NOT_RESTORED = 4,  // an undo failed: the image may be partly changed
    EXIT_DIALOGUE = -1,
    // A reader's answer "no" (verify: the image differs; get: a setting has
    // no value): exit status 1 with nothing failed or undone.
    EXIT_ANSWER_NO = 0x100 | EXIT_FAILED,
};

// By name only: the command line is read through the one table of commands, verbs included.
int parse_cmd(const char *argv);
void print_path(const char *filename);
void vn_option_display(const char *filename);
void mr_option_display(const char *filename);

// One command cycle's view of the run, handed to the menu operations.
typedef struct {
    img_t *img;
    const char *path;
    const board_t *board;      // family and PHY class from the start, the rest read this cycle
    const feature_t *feature;  // the menu row's
} cycle_t;

typedef struct menu_row_t {
    int num;
    const char *label;                   // its line of the menu, in table order; NULL: unlisted
    void (*op)(const cycle_t *cycle);    // NULL: leave the tool
    const feature_t *feature = nullptr;  // the feature it edits (its word and PHY gate)
    bool uses_ports = false;             // reads the header's port mask (the report, port disable)
} menu_row_t;

typedef struct {
    const menu_row_t *rows;
    size_t len;
    const char *refusal;  // for numbers in no row
    bool loads_config;    // refresh g_cfg after each menu number
    int family;           // whose menu it is, for the features' gate
} menu_table_t;

extern const menu_table_t vn_menu_table;
extern const menu_table_t mr_menu_table;

const menu_row_t *find_row(const menu_table_t *menu, int num);
void print_setting_help(const setting_t *s, FILE *to);

// The verbs' options, as bits.
enum { OPT_JSON = 1, OPT_DRY_RUN = 2, OPT_FORCE = 4, OPT_WAIT = 8 };

// The run of one command line: the image it opened and how it ended.
typedef struct {
    img_t *img;
    int argc;
    char **argv;       // the arguments after the command word, options left out
    unsigned options;  // the OPT_ bits given
    long wait_s;       // --wait: seconds to wait for the image's lock
    board_t board;     // the verbs' board, read before the command runs
} command_run_t;

int dialogue_run(command_run_t *r);
int verb_show(command_run_t *r);
int verb_set(command_run_t *r);
int verb_save(command_run_t *r);
int verb_apply(command_run_t *r);
int verb_verify(command_run_t *r);
int verb_get(command_run_t *r);
int verb_read_failed(const char *path);
int journal_found(const img_t *img, bool dialogue, bool reads);
// How a command ended, as the front ends tell it: one row each in ending.cpp.
enum ending_t {
    ENDING_DONE,
    ENDING_READ,         // a read failed
    ENDING_WRITE,        // a write, sync or close failed, or the journal's
    ENDING_VERIFY,       // a header copy read back other than written (its message printed)
    ENDING_NOT_REMOVED,  // the journal could not be removed for good
    ENDING_SIGNAL,       // a terminating signal arrived
    ENDING_LATE_SIGNAL,  // ... once the command was done
    ENDING_INPUT,        // standard input ended (the dialogue)
    ENDING_OUTPUT,       // standard output could not be written
};
ending_t ending_of(const img_outcome_t *o);
int verb_ending(const img_outcome_t *o, ending_t e, const char *image, int status);
bool dialogue_ending(const img_outcome_t *o, ending_t e, const char *image, bool in_command);
bool output_stands(void *);
[[noreturn]] void end_by_signal(img_t *img, int sig);
bool oem_tool_process_setup(void);
bool standard_fds_open(void);
int oem_tool_main(int argc, char **argv);
void print_help_text(FILE *to);
void print_usages(FILE *to);

#endif
