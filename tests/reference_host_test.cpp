// The reference host behaves as the media player does towards an input plug-in.
#include "RefHost.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using namespace hostapi;
using refhost::RefHost;

TEST(ReferenceHost, ClearsTheFlagsTheHostOwnsAndFillsSetInfoAfterInit) {
    RefHost host;
    host.InstallProduct();
    host.Start();
    In_Module *module = host.Product();
    EXPECT_EQ(module->UsesOutputPlug, 1); // 3 at load, bit 1 cleared by the host
    EXPECT_EQ(module->hMainWindow, host.MainWindow());
    EXPECT_NE(module->SetInfo, nullptr);
    EXPECT_NE(module->dsp_dosamples, nullptr);
    EXPECT_NE(module->SAVSAInit, nullptr);
    EXPECT_EQ(module->outMod, nullptr); // set only before a Play
}

TEST(ReferenceHost, AnswersUnknownMessagesWithOneAndRecordsEveryMessage) {
    RefHost host;
    EXPECT_EQ(SendMessageW(host.MainWindow(), WM_WA_IPC, 0, 99999), 1);
    EXPECT_EQ(SendMessageW(host.MainWindow(), WM_WA_IPC, 0, IPC_GETVERSION), 0x5070);
    EXPECT_EQ(SendMessageW(host.MainWindow(), WM_WA_IPC, 0, IPC_GET_NEXT_PLITEM), -1);
    EXPECT_EQ(SendMessageW(host.MainWindow(), WM_WA_IPC, 0, IPC_ISFULLSTOP), 0);
    EXPECT_EQ(SendMessageW(host.MainWindow(), WM_WA_IPC, 0, IPC_GETOUTPUTTIME), -1);
    const auto messages = host.Messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0].LParam, 99999);
    EXPECT_FALSE(messages[0].FromOtherThread);
}

TEST(ReferenceHost, AnswersPlaylistQueriesFromItsState) {
    RefHost host;
    host.SetPlaylist({L"C:\\m\\one.syn", L"C:\\m\\\u00e9t\u00e9.syn"}, 0);
    const auto ask = [&](WPARAM argument, LPARAM number) {
        return SendMessageW(host.MainWindow(), WM_WA_IPC, argument, number);
    };
    EXPECT_EQ(ask(0, IPC_GETLISTLENGTH), 2);
    EXPECT_EQ(ask(0, IPC_GETNEXTLISTPOS), 1);
    EXPECT_STREQ(reinterpret_cast<const wchar_t *>(ask(1, IPC_GETPLAYLISTFILEW)),
                 L"C:\\m\\\u00e9t\u00e9.syn");
    EXPECT_EQ(ask(2, IPC_GETPLAYLISTFILEW), 0);
    host.State().Position = 1;
    EXPECT_EQ(ask(0, IPC_GETNEXTLISTPOS), -1);
    host.State().Repeat = true;
    EXPECT_EQ(ask(0, IPC_GETNEXTLISTPOS), 0);
    EXPECT_EQ(ask(0, IPC_GET_REPEAT), 1);
}

TEST(ReferenceHost, AnswersSendsFromAnotherThreadWhileATestWaits) {
    RefHost host;
    host.State().Version = 0x5061;
    LRESULT answer = 0;
    std::thread plugin(
        [&] { answer = SendMessageW(host.MainWindow(), WM_WA_IPC, 0, IPC_GETVERSION); });
    EXPECT_TRUE(host.WaitUntil([&] { return host.Messages().size() == 1; }, 5000));
    plugin.join();
    EXPECT_EQ(answer, 0x5061);
    EXPECT_TRUE(host.Messages()[0].FromOtherThread);
}

TEST(ReferenceHost, ProbesEveryPluginForVideoRightAfterInit) {
    RefHost host;
    host.InstallProduct();
    host.Start();
    const auto probes = host.TypeProbes();
    ASSERT_EQ(probes.count(L"in_hvqblend.dll"), 1u);
}

// The output's clock runs so slowly here that what is written stays buffered for the test.
TEST(ReferenceHost, TheOutputReportsABufferAheadMarkAndCountsWhatAFlushOrCloseThrowsAway) {
    refhost::RecordingOutput output(1e-9, 2000);
    output.SetKeepPcm(false);
    Out_Module *out = output.Module();
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 0);
    std::vector<char> second(176400); // one second
    ASSERT_EQ(out->Write(second.data(), 176400), 0);
    EXPECT_EQ(out->IsPlaying(), 1);
    output.SetPlayingThresholdMs(1000); // a second left is "not playing" already
    EXPECT_EQ(out->IsPlaying(), 0);
    output.SetPlayingThresholdMs(999);
    EXPECT_EQ(out->IsPlaying(), 1);
    EXPECT_EQ(out->Write(second.data(), 176400), 0);
    EXPECT_EQ(out->Write(second.data(), 4), 1); // the two-second buffer is full
    EXPECT_EQ(output.UnderrunMs(), 0.0);        // never empty yet
    out->Flush(0);
    EXPECT_NEAR(output.DiscardedMs(), 2000.0, 0.01);
    ASSERT_EQ(out->Write(second.data(), 44100), 0); // a quarter of a second
    out->Close();
    EXPECT_NEAR(output.DiscardedMs(), 2250.0, 0.01);
    EXPECT_TRUE(output.Pcm().empty());

    const auto calls = output.Calls();
    ASSERT_EQ(calls.size(), 10u);
    EXPECT_EQ(calls[1].Name, "Write");
    EXPECT_EQ(calls[1].Answer, 0);
    EXPECT_NEAR(calls[1].BufferedMs, 1000.0, 0.01);
    EXPECT_EQ(calls[3].Answer, 0); // IsPlaying
    EXPECT_EQ(calls[6].Answer, 1); // the refused write
    EXPECT_NEAR(calls[7].DiscardedMs, 2000.0, 0.01);
    EXPECT_NEAR(calls[9].DiscardedMs, 2250.0, 0.01);
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_GE(calls[i].AtMs, calls[i - 1].AtMs);
}

// What was heard is counted in the format it was written in: the output may re-open in another
// format while its record is kept.
TEST(ReferenceHost, TheOutputCountsWhatWasHeardInTheFormatOfEachOpen) {
    refhost::RecordingOutput output(0.0);
    Out_Module *out = output.Module();
    std::vector<char> bytes(192000);
    ASSERT_EQ(out->Open(44100, 2, 16, -1, -1), 0);
    ASSERT_EQ(out->Write(bytes.data(), 176400), 0); // one second
    out->Close();
    ASSERT_EQ(out->Open(48000, 2, 24, -1, -1), 0);
    ASSERT_EQ(out->Write(bytes.data(), 144000), 0); // half a second
    EXPECT_NEAR(output.HeardMs(), 1500.0, 0.01);
    out->Close();
    ASSERT_EQ(out->Open(22050, 1, 16, -1, -1), 0);
    EXPECT_NEAR(output.HeardMs(), 1500.0, 0.01);
    ASSERT_EQ(out->Write(bytes.data(), 4410), 0); // a tenth of a second
    EXPECT_NEAR(output.HeardMs(), 1600.0, 0.01);
    output.ClearRecord();
    EXPECT_NEAR(output.HeardMs(), 0.0, 0.01);
    ASSERT_EQ(out->Write(bytes.data(), 4410), 0);
    EXPECT_NEAR(output.HeardMs(), 100.0, 0.01);
}

} // namespace
