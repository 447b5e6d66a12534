// Syslog datagrams received by a real UDP socket on 127.0.0.1:514, inside a network namespace
// of the child's own (so parallel tests and the host's port 514 never meet).
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Isolation.h"
#include "TextMatch.h"
#include "ZrUtilsLib/Logger.h"
#include "ZrUtilsLib/TinyLogServer.h"

using namespace ZrUtilsLib;
using namespace LoggingTest;

namespace {

constexpr unsigned int kReceiveWait = 10000;

// Enters the namespace and binds the receiver; false (test skipped) when that is not possible.
bool PrivateReceiver(ChildReport& report, std::unique_ptr<SyslogReceiver>* receiver) {
    std::string error;
    if (!EnterPrivateNetwork(&error)) {
        report.Skip(error);
        return false;
    }
    receiver->reset(new SyslogReceiver);
    if (!(*receiver)->IsBound()) {
        report.Skip((*receiver)->Error());
        return false;
    }
    return true;
}

void ReceiveInto(ChildReport& report, SyslogReceiver& receiver, const std::string& key) {
    std::string datagram;
    report.Put(key, receiver.Receive(&datagram, kReceiveWait) ? datagram : "<nothing>");
}

std::string HostName() {
    char host[128] = {};
    gethostname(host, sizeof(host) - 1);
    return host;
}

// "<priority> time host Kova-SDK : channel->file(line)[function] - message"
std::string Datagram(int priority, const std::string& rest) {
    return "<" + std::to_string(priority) + "> [^ ].* " + HostName() + " Kova-SDK : " + rest;
}

}  // namespace

TEST(SyslogOutput, DefaultConfigurationSendsErrorsTo127001WithFacility17) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(value == nullptr ? "unset" : "empty");
        const ChildOutcome outcome = RunInChild([&](ChildReport& report) {
            std::unique_ptr<SyslogReceiver> receiver;
            if (!PrivateReceiver(report, &receiver)) {
                return;
            }
            if (value == nullptr) {
                unsetenv("ZR_TINY_LOGGER");
            } else {
                setenv("ZR_TINY_LOGGER", value, 1);
            }
            Logger channel("KvTransportLayerLib");
            report.Put("limit", channel.GetLogPriority());
            report.Put("running", Logger::sTinyLogServer.load()->IsRunning());
            report.Put("enabled3", channel.IsPriorityEnabled(PRIORITY_ERROR));
            report.Put("enabled4", channel.IsPriorityEnabled(PRIORITY_WARNING));
            ZR_LOG(channel, PRIORITY_WARNING, "not sent");
            const Result result = channel.LogResult(0x1D, "src/a/Thread", 10, "Run", "fail %d", 2);
            report.Put("code", result.GetCode());
            ReceiveInto(report, *receiver, "first");
            ZR_LOG(channel, PRIORITY_CRITICAL, "critical %s", "one");
            ReceiveInto(report, *receiver, "second");
        });
        SKIP_IF_CHILD_SKIPPED(outcome);
        EXPECT_CHILD_OK(outcome);
        EXPECT_EQ(outcome.Get("limit"), "3");
        EXPECT_EQ(outcome.Get("running"), "1");
        EXPECT_EQ(outcome.Get("enabled3"), "1");
        EXPECT_EQ(outcome.Get("enabled4"), "0");
        EXPECT_EQ(outcome.GetNumber("code"), 0x1D);
        EXPECT_TRUE(
            FullMatch(outcome.Get("first"),
                      Datagram(139, "KvTransportLayerLib->/Thread\\(10\\)\\[Run\\] - fail 2")))
            << outcome.Get("first");
        // The warning was not sent: the next datagram is the critical message.
        EXPECT_TRUE(FullMatch(
            outcome.Get("second"),
            Datagram(138,
                     "KvTransportLayerLib->SyslogOutputTest.cpp\\([0-9]+\\)\\[operator\\(\\)\\] "
                     "- critical one")))
            << outcome.Get("second");
    }
}

TEST(SyslogOutput, FacilityDefaultsTo23AndLongMessagesAreCut) {
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        std::unique_ptr<SyslogReceiver> receiver;
        if (!PrivateReceiver(report, &receiver)) {
            return;
        }
        setenv("ZR_TINY_LOGGER", "syslog,6,127.0.0.1", 1);
        Logger channel("ZrUtilsLib");
        channel.Log(PRIORITY_ERROR, "dir/Mutex", 5, "Wait", "error");
        ReceiveInto(report, *receiver, "error");
        channel.Log(PRIORITY_INFO, "Mutex", 6, "Wait", "%s", std::string(600, 'q').c_str());
        ReceiveInto(report, *receiver, "long");
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_TRUE(FullMatch(outcome.Get("error"),
                          Datagram(187, "ZrUtilsLib->Mutex\\(5\\)\\[Wait\\] - error")))
        << outcome.Get("error");
    const std::string longDatagram = outcome.Get("long");
    EXPECT_EQ(longDatagram.size(), 511u);
    EXPECT_EQ(longDatagram.rfind("<190> ", 0), 0u);
    EXPECT_EQ(longDatagram.back(), 'q');
}

TEST(SyslogOutput, AddressThatDoesNotParseSendsNothing) {
    const ChildOutcome outcome = RunInChild([](ChildReport& report) {
        std::unique_ptr<SyslogReceiver> receiver;
        if (!PrivateReceiver(report, &receiver)) {
            return;
        }
        TinyLogServer server("syslog,3,localhost");
        report.Put("running", server.IsRunning());
        server.Log(0, "f", 1, "g", "c", "lost");
        report.Put("idle", server.WaitUntilIdle(10000));
        // The record has been handed to the output; nothing may arrive.
        std::string datagram;
        report.Put("received", receiver->Receive(&datagram, 300));
    });
    SKIP_IF_CHILD_SKIPPED(outcome);
    EXPECT_CHILD_OK(outcome);
    EXPECT_EQ(outcome.Get("running"), "1");
    EXPECT_EQ(outcome.Get("idle"), "1");
    EXPECT_EQ(outcome.Get("received"), "0");
}
