// The installation-proxy client against a device played by hand: the
// request on the wire, a listing gathered from several pages, and the ways
// a listing can fail, each of which must end in a code within the bounded
// wait and leave the client either in step or refusing at once.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "libtarvo/installation_proxy_private.h"
#include "scripted_peer.h"

namespace libtarvo {
namespace {

std::string app(const std::string &id) {
    return "<dict><key>CFBundleIdentifier</key><string>" + id + "</string></dict>";
}

std::string page(const std::string &apps) {
    return "<dict><key>Status</key><string>BrowsingApplications</string>"
           "<key>CurrentList</key><array>" +
           apps + "</array></dict>";
}

const std::string kComplete = "<dict><key>Status</key><string>Complete</string></dict>";

struct Client {
    instproxy_client_t handle = nullptr;
    explicit Client(ScriptedPeer &peer, const InstallationProxyLimits &limits = {},
                    int page_ms = 5000) {
        InstallationProxyWaits waits;
        waits.page_ms = page_ms;
        EXPECT_EQ(instproxy_client_new_on(peer.connection(), "ip", waits, limits, &handle),
                  INSTPROXY_E_SUCCESS);
    }
    ~Client() { instproxy_client_free(handle); }
};

void write_pages(ScriptedPeer &peer, const std::vector<std::string> &pages) {
    for (const std::string &p : pages) {
        PlistPtr node = from_xml(p);
        ASSERT_TRUE(node) << p;
        ASSERT_TRUE(peer.write_plist(node.get()));
    }
}

TEST(InstallationProxyPeer, BrowseSendsTheOptionsAndGathersEveryPage) {
    ScriptedPeer peer;
    Client client(peer);
    write_pages(peer, {page(app("a") + app("b")), page(""), page(app("c")), kComplete});
    plist_t options = instproxy_client_options_new();
    instproxy_client_options_add(options, "ApplicationType", "User", nullptr);
    instproxy_client_options_set_return_attributes(options, "CFBundleIdentifier", "CFBundleVersion",
                                                   nullptr);
    plist_t result = nullptr;
    ASSERT_EQ(instproxy_browse(client.handle, options, &result), INSTPROXY_E_SUCCESS);
    PlistPtr owned(result);
    instproxy_client_options_free(options);
    EXPECT_TRUE(same_plist(
        result, from_xml("<array>" + app("a") + app("b") + app("c") + "</array>").get()));

    PlistPtr request = peer.read_plist();
    EXPECT_TRUE(same_plist(
        request.get(),
        from_xml("<dict><key>Command</key><string>Browse</string>"
                 "<key>ClientOptions</key><dict><key>ApplicationType</key><string>User</string>"
                 "<key>ReturnAttributes</key><array><string>CFBundleIdentifier</string>"
                 "<string>CFBundleVersion</string></array></dict></dict>")
            .get()))
        << xml_of(request.get());
}

// What the device does after the request: a step that starts with "<" is a
// page, kHangUp closes the connection, anything else goes out as raw bytes.
const std::string kHangUp = "hang up";

TEST(InstallationProxyPeer, FailedListingsEndInCodes) {
    InstallationProxyLimits small;
    small.max_pages = 3;
    small.max_apps = 2;
    small.max_bytes = 2000;
    struct Case {
        const char *what;
        std::vector<std::string> steps;
        instproxy_error_t expected;
    };
    const Case cases[] = {
        {"an error reply",
         {page(app("a")), "<dict><key>Error</key><string>InvalidOption</string></dict>"},
         INSTPROXY_E_OP_FAILED},
        {"a list that is no array",
         {"<dict><key>Status</key><string>BrowsingApplications</string>"
          "<key>CurrentList</key><string>x</string></dict>"},
         INSTPROXY_E_PLIST_ERROR},
        {"a page of unknown status",
         {"<dict><key>Status</key><string>Odd</string></dict>"},
         INSTPROXY_E_PLIST_ERROR},
        {"a page that is no dictionary", {"<array/>"}, INSTPROXY_E_PLIST_ERROR},
        {"more pages than the cap",
         {page(""), page(""), page(""), kComplete},
         INSTPROXY_E_PLIST_ERROR},
        {"more applications than the cap",
         {page(app("a") + app("b") + app("c")), kComplete},
         INSTPROXY_E_PLIST_ERROR},
        {"more bytes than the cap",
         {page(app(std::string(2000, 'x'))), kComplete},
         INSTPROXY_E_PLIST_ERROR},
        {"a 4 GiB page", {"\xFF\xFF\xFF\xFF"}, INSTPROXY_E_PLIST_ERROR},
        {"silence after a page", {page(app("a"))}, INSTPROXY_E_RECEIVE_TIMEOUT},
        {"a stall inside a page", {std::string("\0\0\0\x32<", 5)}, INSTPROXY_E_RECEIVE_TIMEOUT},
        {"a hang-up after a page", {page(app("a")), kHangUp}, INSTPROXY_E_CONN_FAILED},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        Client client(peer, small, 300);  // only the silent peers wait it out
        peer.run([&c](ScriptedPeer &p) {
            EXPECT_TRUE(p.read_plist()) << c.what;
            for (const std::string &step : c.steps) {
                if (step == kHangUp) {
                    p.close();
                } else if (step[0] == '<') {
                    write_pages(p, {step});
                } else {
                    EXPECT_TRUE(p.write(
                        std::span(reinterpret_cast<const uint8_t *>(step.data()), step.size())));
                }
            }
        });
        plist_t result = nullptr;
        EXPECT_EQ(instproxy_browse(client.handle, nullptr, &result), c.expected) << c.what;
        EXPECT_EQ(result, nullptr) << c.what;
        peer.join();
        // Only the device's own refusal ends a listing in step; after any
        // other failure the client refuses at once, without waiting on it.
        if (c.expected == INSTPROXY_E_OP_FAILED) {
            write_pages(peer, {kComplete});
            EXPECT_EQ(instproxy_browse(client.handle, nullptr, &result), INSTPROXY_E_SUCCESS);
            plist_free(result);
        } else {
            EXPECT_EQ(instproxy_browse(client.handle, nullptr, &result), INSTPROXY_E_CONN_FAILED)
                << c.what;
        }
    }
}

TEST(InstallationProxyPeer, ASecondCallDuringAListingIsRefused) {
    ScriptedPeer peer;
    Client client(peer);
    std::promise<void> request_seen, second_refused;
    peer.run([&](ScriptedPeer &p) {
        EXPECT_TRUE(p.read_plist());
        request_seen.set_value();
        second_refused.get_future().wait_for(std::chrono::seconds(5));
        write_pages(p, {kComplete});
    });
    auto listing = std::async(std::launch::async, [&] {
        plist_t result = nullptr;
        instproxy_error_t e = instproxy_browse(client.handle, nullptr, &result);
        plist_free(result);
        return e;
    });
    request_seen.get_future().wait_for(std::chrono::seconds(5));
    plist_t result = nullptr;
    EXPECT_EQ(instproxy_browse(client.handle, nullptr, &result), INSTPROXY_E_OP_IN_PROGRESS);
    second_refused.set_value();
    EXPECT_EQ(listing.get(), INSTPROXY_E_SUCCESS);
}

}  // namespace
}  // namespace libtarvo
