// Machine-readable output end to end: info and list as JSON built from the
// device's answer, and the progress lines of a backup and a restore, each
// against the plain output of the same run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace mb2test;
using nlohmann::json;
namespace fs = std::filesystem;

std::vector<json> read_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(json::parse(line));  // throws, and fails the test, on a broken line
    }
    return lines;
}

TEST(Tarvobackup2MachineOutput, InfoAndListAsJsonSayWhatTheTextSays) {
    ScratchDir scratch;
    ScratchDir backups;
    SimHarness sim({make_device(scratch, "PHONE1")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    auto run = [&](Args args) {
        args.push_back(backups.path());
        return backup2(args, {.input = "", .timeout_ms = 60000});
    };
    // Before any backup the device's error is the usual line, and no JSON.
    const ProcessResult none = run({"info", "--json"});
    EXPECT_NE(none.status, 0);
    EXPECT_EQ(none.out.find('{'), std::string::npos) << none.out;
    EXPECT_NE(none.out.find("ErrorCode 102: "), std::string::npos) << none.out;

    ASSERT_EQ(run({"backup"}).status, 0);
    const ProcessResult text = run({"info"});
    const ProcessResult as_json = run({"info", "--json"});
    ASSERT_EQ(as_json.status, 0) << as_json.out;
    const json info = json::parse(as_json.out);
    std::istringstream lines(text.out);
    size_t labels = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        const json &value = info.at(line.substr(0, colon));
        const std::string shown = line.substr(colon + 2);
        EXPECT_TRUE(value == shown || shown == std::to_string(value.get<uint64_t>()) ||
                    shown == std::to_string(value.get<uint64_t>()) + " bytes")
            << line;
        ++labels;
    }
    EXPECT_EQ(info.size(), labels);

    const ProcessResult csv = run({"list"});
    const ProcessResult list = run({"list", "--json"});
    ASSERT_EQ(list.status, 0) << list.out;
    const json files = json::parse(list.out).at("files");
    std::string rows;
    for (const json &file : files) {
        rows += file.at("Domain").get<std::string>() + "," + file.at("Path").get<std::string>() +
                "," + std::to_string(file.at("Size").get<uint64_t>()) + "\n";
    }
    EXPECT_EQ("Domain,Path,Size\n" + rows, csv.out);
}

TEST(Tarvobackup2MachineOutput, BackupAndRestoreAnnounceEveryFileTheyMove) {
    ScratchDir scratch;
    ScratchDir backups;
    const std::string fixture = make_device(scratch, "PHONE1");
    for (const char *path : {"HomeDomain/Library/Notes/notes.txt", "MediaDomain/DCIM/IMG_1.JPG",
                             "AppDomain-com.example.notes/Documents/draft.txt"}) {
        fs::create_directories(fs::path(fixture + "/content/" + path).parent_path());
        write_file(fixture + "/content/" + path, std::string(5000, 'c') + path);
    }
    SimHarness sim({fixture});
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string feed = scratch.path() + "/feed.jsonl";
    for (const char *command : {"backup", "restore"}) {
        // Inherited by the tool: no O_CLOEXEC.
        const int fd = open(feed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const ProcessResult run = backup2({command, "--system", "--no-reboot", "--progress-fd",
                                           std::to_string(fd), backups.path()},
                                          {.input = "", .timeout_ms = 60000});
        close(fd);
        ASSERT_EQ(run.status, 0) << run.out << run.err;

        const std::vector<json> lines = read_lines(feed);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), json({{"event", "end"}, {"status", 0}}));
        std::map<std::string, uint64_t> announced;
        size_t percents = 0;
        for (const json &line : lines) {
            if (line["event"] == "progress") {
                ++percents;
                EXPECT_GT(line["percent"].get<double>(), 0);
            } else if (line["event"] == "file") {
                EXPECT_EQ(line["direction"],
                          std::string(command) == "backup" ? "received" : "sent");
                announced[line["path"].get<std::string>()] = line["bytes"].get<uint64_t>();
            }
        }
        EXPECT_GT(percents, 0u) << command;
        // Every content file of the backup was announced with its size (a
        // backup also moves some files it received, such as the manifest).
        size_t content_files = 0;
        for (const auto &entry : fs::recursive_directory_iterator(backups.path() + "/PHONE1")) {
            const std::string relative = fs::relative(entry.path(), backups.path()).string();
            if (entry.is_regular_file() && relative.size() == 7 + 3 + 40) {
                ++content_files;
                ASSERT_EQ(announced.count(relative), 1u) << command << " " << relative;
                EXPECT_EQ(announced[relative], entry.file_size()) << relative;
            }
        }
        EXPECT_GT(content_files, 2u);
        // The terminal output is the same as without the feed.
        EXPECT_EQ(run.out.find("{\""), std::string::npos);
    }
}

}  // namespace
