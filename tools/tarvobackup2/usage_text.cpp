// tarvobackup2's usage text.
#include "usage_text.h"

#include <stdio.h>

#include "tool_usage.h"

void print_usage(char **argv) {
    const char *program = argv && argv[0] ? tool_base_name(argv[0]) : "tarvobackup2";
    printf("Usage: %s [OPTIONS] CMD [CMDOPTIONS] DIRECTORY\n", program);
    printf(
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
        "\n");
    tool_print_addresses(stdout);
}
