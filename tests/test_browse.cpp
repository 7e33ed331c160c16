// The "Tag Format" dialog: its checks, arrows and composition, and
// BrowseAddress played through the headless window system.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "browse/browse.h"
#include "browse/browse_logic.h"
#include "host/dialog/headless.h"
#include "driver/operations.h"
#include "driver/zelmain.h"
#include "tests/support/kavlog.h"

using namespace zel;
using zel::headless::Dialog;

namespace {

// ---------------------------------------------------------------------------
// Plain logic.

TEST(BrowseLogic, ComposesByBase) {
    struct Case {
        char base;
        const char *plc, *memory, *address, *bit, *gas;
    } cases[] = {
        {'D', "01", "4:", "0010", "None", "0140010"},
        {'D', "01", "4:", "0010", "5", "01400105"},
        {'H', "FF", "0:", "A0B1", "None", "FF0A0B1"},
        {'H', "0A", "3:", "00FF", "F", "0A300FFF"},
        {'L', "01", "4:", "65535", "None", "01465535"},
        {'L', "99", "8:", "12345", "3", "998123453"},
    };
    for (const Case& c : cases) {
        char out[16];
        std::memset(out, '#', sizeof out);
        ComposeGas(c.base, c.plc, c.memory, c.address, c.bit, out);
        EXPECT_STREQ(out, c.gas) << c.base << " " << c.address << " " << c.bit;
        // Never more than the 10 bytes the host's buffer is known to hold.
        for (size_t i = kBrowseGasSize; i < sizeof out; ++i)
            EXPECT_EQ(out[i], '#');
    }
}

TEST(BrowseLogic, ChecksInOrderWithTheirMessages) {
    struct Case {
        char base;
        const char *plc, *memory, *address, *bit, *message; // null: accepted
    } cases[] = {
        {'D', "01", "", "0010", "None", "missing value!"},
        {'D', "", "4:", "0010", "None", "missing value!"},
        {'D', "01", "4:", "", "None", "missing value!"},
        {'D', "01", "4:", "0010", "", "missing value!"},
        // The address is checked before the PLC number.
        {'D', "1", "4:", "123", "None", "Wrong address! (4 decimal digits)"},
        {'D', "1", "4:", "0123", "None", "Wrong PLC number! (2 decimal digits)"},
        {'D', "0A", "4:", "0123", "None", "Wrong PLC number! (2 decimal digits)"},
        {'D', "01", "4:", "00A1", "None", "Wrong address! (4 decimal digits)"},
        {'D', "01", "4:", "00123", "None", "Wrong address! (4 decimal digits)"},
        {'D', "00", "0:", "0000", "None", nullptr}, // the parser refuses these later
        {'L', "01", "4:", "6553", "None", "Wrong address! (5 decimal digits)"},
        {'L', "01", "4:", "6553A", "None", "Wrong address! (5 decimal digits)"},
        {'L', "AB", "4:", "65535", "None", "Wrong PLC number! (2 decimal digits)"},
        {'L', "01", "4:", "65535", "F", nullptr},
        {'H', "01", "4:", "00G0", "None", "Wrong address! (4 hexadecimal digits)"},
        {'H', "01", "4:", "12345", "None", "Wrong address! (4 hexadecimal digits)"},
        {'H', "1", "4:", "ABCD", "None", "Wrong PLC number! (2 hexadecimal digits)"},
        {'H', "FG", "4:", "ABCD", "None", "Wrong PLC number! (2 hexadecimal digits)"},
        {'H', "FF", "4:", "ABCD", "None", nullptr},
    };
    for (const Case& c : cases) {
        const char* got = CheckBrowseFields(c.base, c.plc, c.memory, c.address, c.bit);
        if (c.message)
            EXPECT_STREQ(got, c.message) << c.base << " '" << c.plc << "' '" << c.address << "'";
        else
            EXPECT_EQ(got, nullptr) << c.base << " '" << c.plc << "' '" << c.address << "'";
    }
}

TEST(BrowseLogic, ArrowStepsWithinTheBaseRange) {
    struct Case {
        char base;
        const char* text;
        bool down;
        const char* result;
    } cases[] = {
        {'D', "01", false, "02"}, {'D', "99", false, "99"}, {'D', "98", false, "99"},
        {'D', "01", true, "01"},  {'D', "10", true, "09"},  {'D', "", false, "02"},
        {'D', "", true, "01"},    {'D', "X1", false, "02"}, {'D', "X1", true, "01"},
        {'D', "0A", false, "02"}, {'D', "5", false, "06"},  {'D', "123", false, "13"},
        {'L', "99", false, "99"}, {'L', "42", true, "41"},  {'H', "FF", false, "FF"},
        {'H', "FE", false, "FF"}, {'H', "09", false, "0A"}, {'H', "0A", true, "09"},
        {'H', "01", true, "01"},  {'H', "G1", false, "02"}, {'H', "", true, "01"},
        {'H', "99", false, "9A"},
    };
    for (const Case& c : cases) {
        char out[8];
        StepPlcNumber(c.base, c.text, c.down, out, sizeof out);
        EXPECT_STREQ(out, c.result) << c.base << " '" << c.text << "' " << (c.down ? "down" : "up");
    }
}

// ---------------------------------------------------------------------------
// BrowseAddress through the headless window system.

// Runs the dialog with a scripted user in a temporary directory (so that the
// channel's initialization file is the test's own).
class Browse : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelbrowseXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(getcwd(oldDir_, sizeof oldDir_), oldDir_);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        headless::SetUser(&Browse::Play, this);
        browseBusy = 0;
        KavRecSetVersion(820);
        KavRecSetMkClientFails(0);
        zeltest::ClearLog();
        std::memset(output_, '#', sizeof output_);
        output_[sizeof output_ - 1] = '\0';
    }
    void TearDown() override {
        headless::SetUser(nullptr, nullptr);
        ui = PlatformDialog();
        if (chdir(oldDir_) != 0) ADD_FAILURE() << "cannot return to " << oldDir_;
        if (std::system(("rm -rf '" + dir_ + "'").c_str()) != 0) ADD_FAILURE() << "rm " << dir_;
    }

    static void Play(Dialog& d, void* self) {
        auto* t = static_cast<Browse*>(self);
        ++t->shown_;
        t->owner_ = d.owner;
        if (t->user_) t->user_(d);
    }

    void WriteInitFile(const char* name, const char* text) {
        std::FILE* f = std::fopen(name, "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    }

    int32_t Run(int32_t channel = 1) {
        BrowseParams params{output_, parent()};
        DriverRequest req{};
        req.operation = kOpBrowseAddress;
        req.channel = channel;
        req.argument = &params;
        return ZelMain(&req);
    }

    void* parent() { return &parentWindow_; }
    std::string output() const { return output_; }
    std::string untouched() const { return std::string(sizeof output_ - 1, '#'); }

    // A user who fills the four fields and presses OK.
    static std::function<void(Dialog&)> Fill(const char* plc, char memory, const char* address,
                                             int bitIndex) {
        return [=](Dialog& d) {
            d.type(kIdPlcNumber, plc);
            d.chooseStartingWith(kIdMemoryType, memory);
            d.type(kIdAddress, address);
            d.scroll(kIdBitNumber, bitIndex);
            d.press(IDOK);
        };
    }

    std::function<void(Dialog&)> user_;
    int shown_ = 0;
    HWND owner_ = nullptr;

  private:
    std::string dir_;
    char oldDir_[4096];
    char output_[24];
    int parentWindow_ = 0;
};

TEST_F(Browse, OpensInItsInitialStateAndComposesOnOk) {
    user_ = [](Dialog& d) {
        EXPECT_EQ(d.initResult, TRUE);
        EXPECT_EQ(d.text(kIdPlcNumber), "01");
        EXPECT_EQ(d.text(kIdAddress), "");
        EXPECT_EQ(d.text(kIdMemoryType), "") << "no memory type selected";
        EXPECT_EQ(d.topItem(kIdBitNumber), "None");
        const auto& bits = d.item(kIdBitNumber)->items;
        ASSERT_EQ(bits.size(), 17u);
        EXPECT_EQ(bits[1], "0");
        EXPECT_EQ(bits[16], "F");
        const auto& types = d.item(kIdMemoryType)->items;
        ASSERT_EQ(types.size(), 8u);
        EXPECT_EQ(types[0], "0: Coils (only for Modicon PLC's)");
        EXPECT_EQ(types[3], "4: Holding Registers (only for Modicon PLC's)");
        EXPECT_EQ(types[7], "8: Holding Registers (32 bits unsigned long)");
        Fill("01", '4', "0010", 6)(d); // item 6 is bit "5"
        EXPECT_TRUE(d.messageBoxes.empty());
        EXPECT_TRUE(d.ended);
    };
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(output(), "01400105");
    EXPECT_EQ(shown_, 1);
}

TEST_F(Browse, CancelAndEscapeLeaveTheOutputAndFreeTheMark) {
    user_ = [](Dialog& d) {
        d.type(kIdPlcNumber, "05");
        d.press(IDCANCEL);
    };
    EXPECT_EQ(Run(), 53);
    EXPECT_EQ(output(), untouched());
    EXPECT_EQ(browseBusy, 0);
    user_ = [](Dialog& d) { d.escape(); };
    EXPECT_EQ(Run(), 53);
    EXPECT_EQ(output(), untouched());
    // The mark went back after each, so a third browse is shown too.
    user_ = Fill("02", '0', "0001", 0);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(output(), "0200001");
    EXPECT_EQ(shown_, 3);
    EXPECT_EQ(browseBusy, 0);
}

TEST_F(Browse, BusyMarkRefusesWithoutFileOrDialog) {
    WriteInitFile("ZELMR01.INT", "BUS = M,H\n");
    browseBusy = 1;
    EXPECT_EQ(Run(), 53);
    EXPECT_EQ(shown_, 0);
    EXPECT_EQ(output(), untouched());
    EXPECT_TRUE(zeltest::HostCalls().empty()) << zeltest::LogDump();
    EXPECT_EQ(browseBusy, 1) << "the mark belongs to the browse that set it";
}

TEST_F(Browse, DialogThatCannotBeShownAnswers53AndFreesTheMark) {
    headless::SetUser(nullptr, nullptr);
    EXPECT_EQ(Run(), 53);
    EXPECT_EQ(browseBusy, 0);
    EXPECT_EQ(output(), untouched());

    // The driver's module not found under its file name.
    headless::SetUser(&Browse::Play, this);
    ui.GetModuleHandleA = [](const char*) -> HMODULE { return nullptr; };
    EXPECT_EQ(Run(), 53);
    EXPECT_EQ(shown_, 0);
    EXPECT_EQ(browseBusy, 0);
}

TEST_F(Browse, EveryPressShowsOneMessageAndKeepsTheDialogOpen) {
    std::vector<std::string> seen;
    user_ = [&seen](Dialog& d) {
        auto pressOk = [&] {
            const size_t before = d.messageBoxes.size();
            EXPECT_EQ(d.press(IDOK), TRUE);
            EXPECT_LE(d.messageBoxes.size(), before + 1);
            if (d.messageBoxes.size() > before) {
                const auto& box = d.messageBoxes.back();
                EXPECT_EQ(box.caption, "Error");
                EXPECT_EQ(box.type, MB_OK);
                EXPECT_EQ(box.owner, d.window());
                seen.push_back(box.text);
            }
        };
        d.type(kIdAddress, "0010");
        pressOk(); // no memory type
        d.chooseStartingWith(kIdMemoryType, '4');
        d.type(kIdAddress, "123");
        d.type(kIdPlcNumber, "1");
        pressOk(); // both wrong: the address is named
        d.type(kIdAddress, "0123");
        pressOk(); // now the PLC number
        EXPECT_FALSE(d.ended);
        EXPECT_EQ(d.text(kIdAddress), "0123") << "entries stay";
        d.type(kIdPlcNumber, "12");
        pressOk();
        EXPECT_TRUE(d.ended);
    };
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"missing value!", "Wrong address! (4 decimal digits)",
                                              "Wrong PLC number! (2 decimal digits)"}));
    EXPECT_EQ(output(), "1240123");
}

TEST_F(Browse, OwnerWindowFollowsTheHostVersion) {
    struct Case {
        unsigned short version;
        int mkClientFails;
        bool owned;
    } cases[] = {{819, 0, false}, {820, 0, true}, {900, 0, true}, {820, 1, false}};
    user_ = [](Dialog& d) { d.press(IDCANCEL); };
    for (const Case& c : cases) {
        KavRecSetVersion(c.version);
        KavRecSetMkClientFails(c.mkClientFails);
        owner_ = reinterpret_cast<HWND>(1);
        zeltest::ClearLog();
        EXPECT_EQ(Run(), 53);
        EXPECT_EQ(owner_, c.owned ? static_cast<HWND>(parent()) : nullptr) << c.version;
        // The client name carries the thread number; a failed registration
        // asks nothing further.
        int clients = 0, queries = 0;
        for (const KavRecEntry& e : zeltest::HostCalls()) {
            if (e.kind == KAVREC_MKCLIENT) {
                ++clients;
                char expected[32];
                std::snprintf(expected, sizeof expected, "ZelMrBr%02d",
                              static_cast<int>(PlatformDialog().GetCurrentThreadId()));
                EXPECT_STREQ(e.text, expected);
            }
            if (e.kind == KAVREC_GETVER || e.kind == KAVREC_RMCLIENT) ++queries;
        }
        EXPECT_EQ(clients, 1);
        EXPECT_EQ(queries, c.mkClientFails ? 0 : 2);
    }
}

TEST_F(Browse, BaseComesFromTheChannelsInitFile) {
    struct Case {
        int32_t channel;
        const char* file;
        const char* text;
        const char* plc;
        char memory;
        const char* address;
        int bit;
        const char* gas;
    } cases[] = {
        {1, nullptr, nullptr, "01", '4', "0010", 0, "0140010"},
        {1, "ZELMR01.INT", "BUS = M,H\n", "1f", '3', "00ff", 16, "1F300FFF"},
        {2, "ZELMR2.INT", "BUS = J,L\n", "01", '4', "65535", 0, "01465535"},
        {3, "ZELMR.INT", "BUS = M,L\n", "99", '8', "12345", 4, "998123453"},
    };
    for (const Case& c : cases) {
        if (c.file) WriteInitFile(c.file, c.text);
        user_ = Fill(c.plc, c.memory, c.address, c.bit);
        EXPECT_EQ(Run(c.channel), 0) << c.text;
        EXPECT_EQ(output(), c.gas);
        if (c.file) std::remove(c.file);
    }
}

TEST_F(Browse, FileIsReadUnderTheChannelsPrefix) {
    user_ = [](Dialog& d) { d.press(IDCANCEL); };
    EXPECT_EQ(Run(7), 53);
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_NO_INIT_FILE, 7), 32)) << zeltest::LogDump();
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_PROTOCOL_MODBUS, 7), 32))
        << zeltest::LogDump();

    WriteInitFile("ZELMR07.INT", "BAUD_RATE=19200\nBUS = J,D\n");
    zeltest::ClearLog();
    EXPECT_EQ(Run(7), 53);
    EXPECT_TRUE(zeltest::Logged(zeltest::Text(ZEL_TXT_PROTOCOL_JBUS, 7), 32)) << zeltest::LogDump();
}

TEST_F(Browse, ArrowsStepThePlcNumberInTheDialogsBase) {
    WriteInitFile("ZELMR01.INT", "BUS = M,H\n");
    user_ = [](Dialog& d) {
        d.type(kIdPlcNumber, "FE");
        EXPECT_EQ(d.arrow(kIdPlcArrows, SB_LINEUP), FALSE);
        EXPECT_EQ(d.text(kIdPlcNumber), "FF");
        d.arrow(kIdPlcArrows, SB_LINEUP);
        EXPECT_EQ(d.text(kIdPlcNumber), "FF");
        d.arrow(kIdPlcArrows, SB_LINEDOWN);
        EXPECT_EQ(d.text(kIdPlcNumber), "FE");
        // Other codes and other sources change nothing.
        d.arrow(kIdPlcArrows, SB_THUMBPOSITION);
        d.send(WM_VSCROLL, SB_LINEUP, 0);
        d.send(WM_VSCROLL, SB_LINEUP, reinterpret_cast<LPARAM>(d.item(kIdBitNumber)->handle()));
        EXPECT_EQ(d.text(kIdPlcNumber), "FE");
        d.press(IDCANCEL);
    };
    EXPECT_EQ(Run(), 53);
}

TEST_F(Browse, NullArgumentOrBufferIsRefused) {
    DriverRequest req{};
    req.operation = kOpBrowseAddress;
    req.channel = 1;
    EXPECT_EQ(ZelMain(&req), 53);
    BrowseParams params{nullptr, nullptr};
    req.argument = &params;
    EXPECT_EQ(ZelMain(&req), 53);
    EXPECT_EQ(shown_, 0);
    EXPECT_EQ(browseBusy, 0);
}

TEST(BrowseDialogProc, OtherMessagesAndCommandsAreNotHandled) {
    // No window is looked at for messages the procedure does not handle.
    EXPECT_EQ(BrowseDialogProc(nullptr, 0x000F /* WM_PAINT */, 0, 0), FALSE);
    EXPECT_EQ(BrowseDialogProc(nullptr, WM_COMMAND, MAKEWPARAM(kIdAddress, 0x0300), 0), FALSE);
}

} // namespace
