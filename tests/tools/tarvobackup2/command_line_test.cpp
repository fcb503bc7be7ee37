// tarvobackup2's argument parser at function level: every word, the order
// in which later words override earlier ones, and the errors with their
// usage text.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "signals_and_notifications.h"
#include "test_support.h"

namespace {

// The test spells the usage out on its own, so a change to it is a decision, not an accident.
const std::string kUsage =
    "Usage: tarvobackup2 [OPTIONS] CMD [CMDOPTIONS] DIRECTORY\n"
    "\n"
    "Create or restore backup from the current or specified directory.\n"
    "\n"
    "CMD:\n"
    "  backup\tcreate backup for the device\n"
    "    --full\t\tforce full backup from device.\n"
    "  restore\trestore last backup to the device\n"
    "    --system\t\trestore system files, too.\n"
    "    --no-reboot\t\tdo NOT reboot the device when done (default: yes).\n"
    "    --copy\t\tcreate a copy of backup folder before restoring.\n"
    "    --settings\t\trestore device settings from the backup.\n"
    "    --remove\t\tremove items which are not being restored\n"
    "    --skip-apps\t\tdo not trigger re-installation of apps after restore\n"
    "    --password PWD\tsupply the password of the source backup\n"
    "  info\t\tshow details about last completed backup of device\n"
    "  list\t\tlist files of last completed backup in CSV format\n"
    "  unback\tunpack a completed backup in DIRECTORY/_unback_/\n"
    "  encryption on|off [PWD]\tenable or disable backup encryption\n"
    "    NOTE: password will be requested in interactive mode if omitted\n"
    "  changepw [OLD NEW]  change backup password on target device\n"
    "    NOTE: passwords will be requested in interactive mode if omitted\n"
    "  cloud on|off\tenable or disable cloud use (requires iCloud account)\n"
    "\n"
    "OPTIONS:\n"
    "  -u, --udid UDID\ttarget specific device by UDID\n"
    "  -s, --source UDID\tuse backup data from device specified by UDID\n"
    "  -n, --network\t\tconnect to network device\n"
    "  -i, --interactive\trequest passwords interactively\n"
    "  -d, --debug\t\tenable communication debugging\n"
    "  -h, --help\t\tprints usage information\n"
    "  -v, --version\t\tprints version information\n"
    "\n"
    "Homepage:    <https://tarvo.dev>\n"
    "Bug Reports: <https://tarvo.dev/issues>\n";

struct Parsed {
    int run = 0;
    int exit_status = 0;
    std::string out;
    SessionOptions options;
    bool verbose_after = true;
};

Parsed parse(std::vector<std::string> args, const char *argv0 = "/opt/bin/tarvobackup2") {
    std::vector<std::string> storage = {argv0};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    verbose = true;
    Parsed parsed;
    StdoutCapture capture;
    parsed.run = parse_command_line(static_cast<int>(storage.size()), argv.data(), &parsed.options,
                                    &parsed.exit_status);
    parsed.out = capture.take();
    parsed.verbose_after = verbose;
    verbose = true;
    json_output = false;
    parsed.options.argv = nullptr;  // the storage goes with this function
    return parsed;
}

std::optional<std::string> text(const CString &s) {
    return s ? std::optional<std::string>(s.get()) : std::nullopt;
}
std::optional<std::string> text(const SecretString &s) {
    return s ? std::optional<std::string>(s.get()) : std::nullopt;
}

using Args = std::vector<std::string>;
const std::nullopt_t none = std::nullopt;

// Runs that end during parsing: what is printed and the status.
struct EndCase {
    Args args;
    int status;
    std::string out;
};

TEST(Tarvobackup2CommandLine, WordsThatEndTheRun) {
    const std::vector<EndCase> cases = {
        {{}, -1, "No command specified.\n" + kUsage},
        {{"DIR"}, -1, "No command specified.\n" + kUsage},
        // a command word taken as the value of -u is not a command
        {{"-u", "backup", "DIR"}, -1, "No command specified.\n" + kUsage},
        {{"-h", "backup"}, 0, kUsage},
        {{"backup", "--help", "--bogus"}, 0, kUsage},
        {{"-v", "--password"}, 0, "tarvobackup2 0.1.0\n"},
        {{"backup", "--version", "-u"}, 0, "tarvobackup2 0.1.0\n"},
        // -h before -v, and a later bad word is never looked at
        {{"-h", "-v", "changepw", "x"}, 0, kUsage},
        {{"-u"}, -1, kUsage},
        {{"backup", "-u", ""}, -1, kUsage},
        {{"--udid", "", "backup"}, -1, kUsage},
        {{"backup", "-s"}, -1, kUsage},
        {{"--source", "", "backup"}, -1, kUsage},
        {{"backup", "DIR", "--password"}, -1, kUsage},
        {{"backup", "DIR", "OTHER"}, -1, kUsage},
        // the comparison is case-sensitive: "Backup" is a directory
        {{"Backup", "DIR"}, -1, kUsage},
        {{"cloud"},
         -1,
         "No argument given for cloud command; requires either 'on' or 'off'.\n" + kUsage},
        {{"encryption"},
         -1,
         "No argument given for encryption command; requires either 'on' or 'off'.\n" + kUsage},
        {{"changepw", "old"},
         -1,
         "Old and new passwords have to be passed as arguments for the changepw command\n" +
             kUsage},
        // the error comes at the word, whatever follows
        {{"cloud", "on", "cloud"},
         -1,
         "No argument given for cloud command; requires either 'on' or 'off'.\n" + kUsage},
        // machine-readable output: a bad descriptor or a command without
        // JSON is said on standard error
        {{"backup", "--progress-fd"},
         -1,
         "ERROR: --progress-fd needs a file descriptor number.\n" + kUsage},
        {{"--progress-fd", "-1", "backup", "DIR"},
         -1,
         "ERROR: --progress-fd needs a file descriptor number.\n" + kUsage},
        {{"--progress-fd", "987", "backup", "DIR"}, -1, ""},
        {{"--progress-fd", "2x", "backup", "DIR"}, -1, ""},
        {{"--json", "backup", "DIR"}, -1, ""},
    };
    for (const EndCase &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Parsed p = parse(c.args);
        EXPECT_EQ(p.run, 0);
        EXPECT_EQ(p.exit_status, c.status);
        EXPECT_EQ(p.out, c.out);
    }
}

TEST(Tarvobackup2CommandLine, UsageNamesTheProgramByItsBaseName) {
    EXPECT_EQ(parse({"-h"}, "tarvobackup2").out, kUsage);
    EXPECT_EQ(parse({"-h"}, "./bin/mb2").out.rfind("Usage: mb2 [OPTIONS]", 0), 0u);
}

// Runs that parse and go on to the session: what they select.
struct RunCase {
    Args args;
    int command;
    int flags;
    std::optional<std::string> directory;
    std::optional<std::string> password = std::nullopt;
    std::optional<std::string> new_password = std::nullopt;
    std::optional<std::string> udid = std::nullopt;
    std::optional<std::string> source_udid = std::nullopt;
    std::string out = "";
};

// Every row spells all its fields out, so that a failing row reads on its own.
TEST(Tarvobackup2CommandLine, WordsThatSelectTheSession) {
    const std::vector<RunCase> cases = {
        {{"backup", "DIR"}, CMD_BACKUP, 0, "DIR"},
        // the last command word wins, wherever the directory stands
        {{"backup", "restore", "DIR"}, CMD_RESTORE, 0, "DIR"},
        {{"DIR", "list", "info"}, CMD_INFO, 0, "DIR"},
        {{"unback", "DIR", "backup"}, CMD_BACKUP, 0, "DIR"},
        {{"--system", "--no-reboot", "--copy", "--settings", "--remove", "--skip-apps", "--full",
          "restore", "DIR"},
         CMD_RESTORE,
         0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x1000 | 0x200,
         "DIR"},
        // --reboot clears --no-reboot only when it comes later
        {{"restore", "--no-reboot", "--reboot", "DIR"}, CMD_RESTORE, 0, "DIR"},
        {{"restore", "--reboot", "--no-reboot", "DIR"}, CMD_RESTORE, 0x4, "DIR"},
        // options are accepted with every command
        {{"info", "--full", "--system", "DIR"}, CMD_INFO, 0x200 | 0x2, "DIR"},
        {{"-u", "A", "--udid", "B", "-s", "C", "--source", "D", "backup", "DIR"},
         CMD_BACKUP,
         0,
         "DIR",
         none,
         none,
         "B",
         "D"},
        {{"--password", "one", "restore", "--password", "two", "DIR"},
         CMD_RESTORE,
         0,
         "DIR",
         "two"},
        {{"--password", "", "unback", "DIR"}, CMD_UNBACK, 0, "DIR", ""},
        {{"cloud", "on"}, CMD_CLOUD, 0x400, none},
        {{"cloud", "off", "DIR"}, CMD_CLOUD, 0x800, "DIR"},
        {{"cloud", "maybe", "DIR"},
         CMD_CLOUD,
         0,
         "DIR",
         none,
         none,
         none,
         none,
         "Invalid argument 'maybe' for cloud command; must be either 'on' or 'off'.\n"},
        // exactly one argument follows "cloud", even one that looks like an option
        {{"cloud", "-i", "DIR"},
         CMD_CLOUD,
         0,
         "DIR",
         none,
         none,
         none,
         none,
         "Invalid argument '-i' for cloud command; must be either 'on' or 'off'.\n"},
        // a later switch word adds its bit; it does not take the other one back
        {{"cloud", "off", "cloud", "on"}, CMD_CLOUD, 0xC00, none},
        // the word after the switch is always the password
        {{"encryption", "on", "DIR"}, CMD_CHANGEPW, 0x40, none, none, "DIR"},
        {{"--password", "old", "encryption", "on"}, CMD_CHANGEPW, 0x40, none},
        {{"--password", "old", "encryption", "off", "secret"}, CMD_CHANGEPW, 0x80, none, "secret"},
        {{"encryption", "off", "--password", "late"}, CMD_CHANGEPW, 0x80, "late", "--password"},
        {{"encryption", "maybe", "pw", "DIR"},
         CMD_CHANGEPW,
         0,
         "DIR",
         none,
         none,
         none,
         none,
         "Invalid argument 'maybe' for encryption command; must be either 'on' or 'off'.\n"},
        // a later --password still lands after an invalid switch word
        {{"encryption", "maybe", "pw", "--password", "x"},
         CMD_CHANGEPW,
         0,
         none,
         "x",
         none,
         none,
         none,
         "Invalid argument 'maybe' for encryption command; must be either 'on' or 'off'.\n"},
        {{"--password", "old", "changepw"}, CMD_CHANGEPW, 0x100, none},
        {{"changepw", "old", "new", "DIR"}, CMD_CHANGEPW, 0x100, "DIR", "old", "new"},
        // a later "encryption" drops the passwords of an earlier "changepw"
        {{"changepw", "old", "new", "encryption", "on"}, CMD_CHANGEPW, 0x140, none},
    };
    for (const RunCase &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Parsed p = parse(c.args);
        ASSERT_EQ(p.run, 1) << p.out;
        EXPECT_EQ(p.out, c.out);
        EXPECT_EQ(p.options.command_code, c.command);
        EXPECT_EQ(p.options.command_flags, c.flags);
        EXPECT_EQ(p.options.has_directory, c.directory.has_value());
        if (c.directory) {
            EXPECT_EQ(p.options.backup_directory, *c.directory);
        }
        EXPECT_EQ(text(p.options.password), c.password);
        EXPECT_EQ(text(p.options.new_password), c.new_password);
        EXPECT_EQ(text(p.options.udid), c.udid);
        EXPECT_EQ(text(p.options.source_udid), c.source_udid);
        EXPECT_FALSE(p.options.interactive);
        EXPECT_FALSE(p.options.network);
    }
}

// Other users read a process's arguments while it runs: a password word is
// overwritten once it is copied, and no other word is touched.
TEST(Tarvobackup2CommandLine, PasswordWordsAreWipedFromArgv) {
    struct Case {
        std::vector<std::string> args;
        std::vector<size_t> secrets;  // indexes into args
    };
    const std::vector<Case> cases = {
        {{"--password", "pw1", "restore", "DIR"}, {1}},
        {{"encryption", "on", "pw2"}, {2}},
        {{"encryption", "off", "pw3"}, {2}},
        {{"encryption", "maybe", "pw4"}, {2}},  // dropped, and wiped all the same
        {{"changepw", "old5", "new6"}, {1, 2}},
        {{"changepw", "old7"}, {1}},  // refused for the missing new one
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> storage = {"tarvobackup2"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (auto &word : storage)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        SessionOptions options;
        int status = 0;
        {
            StdoutCapture quiet;
            parse_command_line(static_cast<int>(storage.size()), argv.data(), &options, &status);
        }
        for (size_t i = 0; i < c.args.size(); ++i) {
            const bool secret = std::find(c.secrets.begin(), c.secrets.end(), i) != c.secrets.end();
            EXPECT_EQ(storage[i + 1], secret ? std::string(c.args[i].size(), '\0') : c.args[i])
                << "word " << i;
        }
    }
}

TEST(Tarvobackup2CommandLine, SwitchesAndVerbosity) {
    Parsed p = parse({"-n", "--interactive", "-d", "backup", "DIR"});
    ASSERT_EQ(p.run, 1);
    EXPECT_TRUE(p.options.network);
    EXPECT_TRUE(p.options.interactive);
    EXPECT_TRUE(p.verbose_after);

    Parsed q = parse({"--network", "-i", "restore", "DIR"});
    EXPECT_TRUE(q.options.network);
    EXPECT_TRUE(q.options.interactive);

    // info and list switch verbose off for good, even when another command wins
    EXPECT_FALSE(parse({"info", "DIR"}).verbose_after);
    EXPECT_FALSE(parse({"list", "DIR"}).verbose_after);
    Parsed later = parse({"list", "backup", "DIR"});
    EXPECT_EQ(later.options.command_code, CMD_BACKUP);
    EXPECT_FALSE(later.verbose_after);
    EXPECT_TRUE(parse({"unback", "DIR"}).verbose_after);
}

}  // namespace
