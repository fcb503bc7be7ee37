/*
 * Shared pieces of the tool tests: simulated device fixtures written on the
 * fly, and a scratch folder that outlives one test case.
 */
#ifndef TARVO_TESTS_TOOL_TEST_SUPPORT_H
#define TARVO_TESTS_TOOL_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process_runner.h"
#include "scratch_dir.h"
#include "sim_harness.h"

// A device fixture: a UDID, a connection type, a pairing policy and extra
// device.plist keys (raw XML), with the bundled device key so that starting
// it is quick.
inline std::string make_device(const ScratchDir &dir, const std::string &udid,
                               const std::string &extra_keys_xml = "",
                               const std::string &connection = "USB",
                               const std::string &name = "Test Phone") {
    std::string keys = "<key>UniqueDeviceID</key><string>" + udid + "</string>" +
                       "<key>ConnectionType</key><string>" + connection + "</string>" +
                       "<key>GlobalDomain</key><dict>" + "<key>DeviceName</key><string>" + name +
                       "</string>" + "<key>ProductVersion</key><string>17.5.1</string>" +
                       "<key>ProductType</key><string>iPhone15,2</string>" +
                       "<key>UniqueDeviceID</key><string>" + udid + "</string>" +
                       "<key>PhoneNumber</key><string>+1 555 0100</string>" + "</dict>" +
                       "<key>Domains</key><dict><key>com.apple.mobile.battery</key><dict>" +
                       "<key>BatteryCurrentCapacity</key><integer>87</integer></dict></dict>" +
                       SimHarness::bundled_private_key_xml() + extra_keys_xml;
    return SimHarness::make_fixture(dir.path(), SimHarness::device_plist(keys));
}

inline std::string faults_xml(const std::string &request, const std::string &fault) {
    return "<key>Faults</key><dict><key>" + request + "</key><string>" + fault + "</string></dict>";
}

// A fault that hits only the GetValue of one key.
inline std::string get_value_fault_xml(const std::string &key, const std::string &fault) {
    return "<key>Faults</key><dict><key>GetValue</key><dict><key>Fault</key><string>" + fault +
           "</string><key>Key</key><string>" + key + "</string></dict></dict>";
}

inline std::string policy_xml(const std::string &policy) {
    return "<key>PairingPolicy</key><string>" + policy + "</string>";
}

#endif
