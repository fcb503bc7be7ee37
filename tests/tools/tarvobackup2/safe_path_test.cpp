// Device paths that try to leave the backup directory: "..", absolute
// paths and symbolic links, for every request that takes a path. Nothing
// outside may change, a refused path is reported in one line and answered
// like EACCES, and real relative paths keep working. Each case runs with
// openat2 and with the component-by-component walk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_fs_requests.h"
#include "receive_files.h"
#include "safe_path.h"
#include "send_files.h"
#include "signals_and_notifications.h"
#include "transfer_support.h"

namespace {

using namespace transfer_test;
using Handler = void (*)(BackupChannel &, plist_t, const char *);

enum class Op {
    kUpload,
    kDownload,
    kList,
    kCreate,
    kMoveFrom,
    kMoveTo,
    kRemove,
    kCopyFrom,
    kCopyTo
};

const char *op_name(Op op) {
    switch (op) {
        case Op::kUpload:
            return "upload";
        case Op::kDownload:
            return "download";
        case Op::kList:
            return "list";
        case Op::kCreate:
            return "create";
        case Op::kMoveFrom:
            return "move from";
        case Op::kMoveTo:
            return "move to";
        case Op::kRemove:
            return "remove";
        case Op::kCopyFrom:
            return "copy from";
        case Op::kCopyTo:
            return "copy to";
    }
    return "?";
}

struct Outcome {
    std::string out;
    std::vector<StatusResponse> responses;
    std::string sent;
};

std::string message(const std::string &name, const std::string &rest) {
    return "<array><string>" + name + "</string>" + rest + "</array>";
}
std::string str(const std::string &text) {
    return "<string>" + text + "</string>";
}

Outcome run_op(Op op, const std::string &path, const BackupScratch &scratch) {
    DevicePeer peer;
    Outcome outcome;
    StdoutCapture capture;
    const char *dir = scratch.backup.c_str();
    auto with = [&](Handler handler, const std::string &xml) {
        PlistPtr node = plist_from_fragment(xml);
        handler(*peer.channel, node.get(), dir);
    };
    switch (op) {
        case Op::kUpload: {
            peer.send(upload_entry(path, "written by the device") + kEndOfStream);
            PlistPtr node = plist_from_fragment(
                message("DLMessageUploadFiles", "<dict/><real>0</real><integer>0</integer>"));
            mb2_handle_receive_files(*peer.channel, node.get(), dir);
            break;
        }
        case Op::kDownload:
            with(mb2_send_requested_files,
                 message("DLMessageDownloadFiles", "<array>" + str(path) + "</array><dict/>"));
            break;
        case Op::kList:
            with(mb2_list_directory, message("DLContentsOfDirectory", str(path)));
            break;
        case Op::kCreate:
            with(mb2_make_directory, message("DLMessageCreateDirectory", str(path)));
            break;
        case Op::kMoveFrom:
            with(mb2_move_items, message("DLMessageMoveFiles", "<dict><key>" + path + "</key>" +
                                                                   str("moved") + "</dict>"));
            break;
        case Op::kMoveTo:
            with(mb2_move_items, message("DLMessageMoveFiles",
                                         "<dict><key>UDID/victim</key>" + str(path) + "</dict>"));
            break;
        case Op::kRemove:
            with(mb2_remove_items,
                 message("DLMessageRemoveFiles", "<array>" + str(path) + "</array>"));
            break;
        case Op::kCopyFrom:
            with(mb2_copy_item, message("DLMessageCopyItem", str(path) + str("copied")));
            break;
        case Op::kCopyTo:
            with(mb2_copy_item, message("DLMessageCopyItem", str("UDID/victim") + str(path)));
            break;
    }
    outcome.out = capture.take();
    outcome.sent = peer.from_host();
    for (StatusResponse &response : peer.channel->responses) {
        outcome.responses.push_back(std::move(response));
    }
    return outcome;
}

// The answer a refused path gets: the one EACCES would get.
void expect_refusal_answer(Op op, const Outcome &outcome) {
    ASSERT_EQ(outcome.responses.size(), 1u);
    const StatusResponse &answer = outcome.responses[0];
    switch (op) {
        case Op::kUpload:
        case Op::kCreate:
        case Op::kMoveFrom:
        case Op::kMoveTo:
        case Op::kRemove:
            EXPECT_EQ(answer.code, -1);
            EXPECT_EQ(answer.text, "Permission denied");
            break;
        case Op::kDownload:
            EXPECT_EQ(answer.code, -13);
            EXPECT_NE(outcome.sent.find(frame(0x06, "Permission denied")), std::string::npos);
            break;
        case Op::kList:
            EXPECT_EQ(answer.code, 0);
            EXPECT_EQ(plist_dict_get_size(answer.value.get()), 0u);
            break;
        case Op::kCopyFrom:
        case Op::kCopyTo:
            EXPECT_EQ(answer.code, 0);
            break;
    }
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class Tarvobackup2TransferHostilePaths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        verbose = false;
        quit_flag = 0;
        safe_path_use_component_walk(GetParam());
    }
    void TearDown() override {
        safe_path_use_component_walk(false);
        verbose = true;
    }
};

struct HostileCase {
    Op op;
    const char *kind;  // "dotdot", "absolute", "dir-link", "leaf-link"
    bool refused;
};

// A device's folder with links planted in it: "UDID/link" to the outside
// folder, "UDID/leaflink" to the outside file. (Links directly in the
// backup directory are the user's own and are followed.)
std::string hostile_path(const char *kind, const BackupScratch &scratch, Op op) {
    const std::string kind_text = kind;
    // A new directory inside the outside folder, a listing of that folder,
    // or the outside file for everything else.
    const std::string wanted =
        op == Op::kCreate ? "folder/new" : (op == Op::kList ? "folder" : "secret");
    if (kind_text == "dotdot") {
        return "../outside/" + wanted;
    }
    if (kind_text == "absolute") {
        return scratch.outside + "/" + wanted;
    }
    if (kind_text == "dir-link") {
        return "UDID/link/" + wanted;
    }
    if (op == Op::kCreate) {
        return "UDID/dirleaflink/new";
    }
    return op == Op::kList ? "UDID/dirleaflink" : "UDID/leaflink";
}

TEST_P(Tarvobackup2TransferHostilePaths, NothingOutsideIsTouched) {
    const std::vector<HostileCase> cases = [] {
        std::vector<HostileCase> all;
        for (Op op : {Op::kUpload, Op::kDownload, Op::kList, Op::kCreate, Op::kMoveFrom,
                      Op::kMoveTo, Op::kRemove, Op::kCopyFrom, Op::kCopyTo}) {
            for (const char *kind : {"dotdot", "absolute", "dir-link"}) {
                all.push_back({op, kind, true});
            }
        }
        // A link as the last component: operations that would read or
        // write through it are refused; those that act on the entry itself
        // (replace, rename, remove it) stay inside and go ahead.
        all.push_back({Op::kUpload, "leaf-link", false});
        all.push_back({Op::kDownload, "leaf-link", true});
        all.push_back({Op::kList, "leaf-link", true});
        all.push_back({Op::kCreate, "leaf-link", true});
        all.push_back({Op::kMoveFrom, "leaf-link", false});
        all.push_back({Op::kMoveTo, "leaf-link", false});
        all.push_back({Op::kRemove, "leaf-link", false});
        all.push_back({Op::kCopyFrom, "leaf-link", true});
        all.push_back({Op::kCopyTo, "leaf-link", true});
        return all;
    }();
    for (const HostileCase &c : cases) {
        BackupScratch scratch;
        std::filesystem::create_directories(scratch.in_backup("UDID"));
        ASSERT_EQ(symlink(scratch.outside.c_str(), scratch.in_backup("UDID/link").c_str()), 0);
        ASSERT_EQ(symlink((scratch.outside + "/secret").c_str(),
                          scratch.in_backup("UDID/leaflink").c_str()),
                  0);
        ASSERT_EQ(symlink((scratch.outside + "/folder").c_str(),
                          scratch.in_backup("UDID/dirleaflink").c_str()),
                  0);
        write_file(scratch.in_backup("UDID/victim"), "inside");
        const std::string path = hostile_path(c.kind, scratch, c.op);
        SCOPED_TRACE(std::string(op_name(c.op)) + " " + path);

        const auto before = scratch.outside_snapshot();
        const Outcome outcome = run_op(c.op, path, scratch);
        EXPECT_EQ(scratch.outside_snapshot(), before);
        EXPECT_EQ(count_of(outcome.out, "Refusing path '"), c.refused ? 1u : 0u) << outcome.out;
        if (c.refused) {
            EXPECT_EQ(count_of(outcome.out, "Refusing path '" + path + "'"), 1u) << outcome.out;
            // The refusal is the only line about it.
            EXPECT_EQ(count_of(outcome.out, "\n"), 1u) << outcome.out;
            expect_refusal_answer(c.op, outcome);
        }
        // Nothing outside was read either: its content never reaches the device.
        EXPECT_EQ(outcome.sent.find("outside content"), std::string::npos);
    }
}

TEST_P(Tarvobackup2TransferHostilePaths, PlainRelativePathsKeepWorking) {
    BackupScratch scratch;
    for (const std::string &path : {std::string("a/b/../c"), std::string("./x/./y")}) {
        // ".." is refused wherever it stands, even where it would stay inside.
        const Outcome outcome = run_op(Op::kCreate, path + "/new", scratch);
        EXPECT_EQ(count_of(outcome.out, "Refusing path"),
                  path.find("..") != std::string::npos ? 1u : 0u);
    }
    EXPECT_TRUE(std::filesystem::is_directory(scratch.in_backup("x/y/new")));

    std::filesystem::create_directories(scratch.in_backup("UDID/0a"));
    const Outcome uploaded = run_op(Op::kUpload, "UDID/0a/0a1b2c", scratch);
    EXPECT_EQ(uploaded.out, "");
    EXPECT_EQ(read_file(scratch.in_backup("UDID/0a/0a1b2c")), "written by the device");
    const Outcome downloaded = run_op(Op::kDownload, "UDID//0a/0a1b2c", scratch);
    EXPECT_NE(downloaded.sent.find("written by the device"), std::string::npos);
    EXPECT_EQ(downloaded.responses.at(0).code, 0);
}

// DIR/<UDID> as a link the user made to another disk: backups go there,
// and links below it are refused as anywhere else.
TEST_P(Tarvobackup2TransferHostilePaths, TheUsersOwnDeviceFolderLinkIsFollowed) {
    BackupScratch scratch;
    const std::string elsewhere = scratch.base + "/other-disk";
    std::filesystem::create_directories(elsewhere);
    ASSERT_EQ(symlink(elsewhere.c_str(), scratch.in_backup("UDID").c_str()), 0);
    ASSERT_EQ(symlink(scratch.outside.c_str(), (elsewhere + "/link").c_str()), 0);

    EXPECT_EQ(run_op(Op::kCreate, "UDID/0a", scratch).out, "");
    EXPECT_EQ(run_op(Op::kUpload, "UDID/0a/file", scratch).out, "");
    EXPECT_EQ(read_file(elsewhere + "/0a/file"), "written by the device");
    const Outcome listed = run_op(Op::kList, "UDID", scratch);
    ASSERT_EQ(listed.responses.size(), 1u);
    EXPECT_NE(plist_dict_get_item(listed.responses[0].value.get(), "0a"), nullptr);
    const Outcome top = run_op(Op::kList, "", scratch);
    ASSERT_EQ(top.responses.size(), 1u);
    EXPECT_NE(xml_of(top.responses[0].value.get()).find("DLFileTypeDirectory"), std::string::npos);

    const auto before = scratch.outside_snapshot();
    EXPECT_EQ(count_of(run_op(Op::kUpload, "UDID/link/secret", scratch).out, "Refusing path"), 1u);
    EXPECT_EQ(scratch.outside_snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Resolution, Tarvobackup2TransferHostilePaths, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "ComponentWalk" : "Openat2";
                         });

}  // namespace
