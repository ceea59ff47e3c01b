// What a hooked-in plug-in tells about a file: the length, information values and the audio
// test, with their fall-backs from extended file information to GetFileInfo, whose faults are
// caught.
#include "hookedins/FileInfoQueries.h"
#include "hookedins_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace hookedins_test;

// A stand-in for a plug-in's wide extended file information: answers every field with Answer.
std::wstring Answer;

int __cdecl AnswerEveryField(const wchar_t *, const char *, wchar_t *dest, int length) {
    const std::size_t count =
        std::min<std::size_t>(Answer.size(), static_cast<std::size_t>(length - 1));
    std::copy_n(Answer.c_str(), count, dest);
    dest[count] = L'\0';
    return 1;
}

int __cdecl AnswerNoField(const wchar_t *, const char *, wchar_t *, int) {
    return 0;
}

// A GetFileInfo that writes nothing at all.
void __cdecl SayNothing(const void *, void *, int *) {}

class FileInfo : public Registry {
  protected:
    void SetUp() override {
        for (const wchar_t *name :
             {L"in_synthw.dll", L"in_syntha.dll", L"in_faultinfo.dll", L"in_stream.dll"})
            Install(name);
        Scan();
    }
    THookedInPlugin &Wide() { return Hooked("in_synthw.dll"); }
    THookedInPlugin &Ansi() { return Hooked("in_syntha.dll"); }
    THookedInPlugin &Faulty() { return Hooked("in_faultinfo.dll"); }
    THookedInPlugin &Stream() { return Hooked("in_stream.dll"); }
    int Asked(const char *plugin, const char *entry) { return Probe(plugin).Count(entry); }
    std::wstring Query(THookedInPlugin &plugin, const std::wstring &file, const std::string &name,
                       bool expectAnswer = true) {
        std::wstring value = L"(unchanged)";
        EXPECT_EQ(QueryFileInfo(plugin, file, name, value), expectAnswer) << name;
        return value;
    }

    const std::wstring wideTone = L"C:\\m\\tone_44100_2_16_180.syw";
    const std::wstring ansiTone = L"C:\\m\\tone_8000_1_8_2500.sya";
};

TEST_F(FileInfo, LengthComesFromExtendedInformationWithoutAskingGetFileInfo) {
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), 180);
    EXPECT_EQ(GetLengthMs(Ansi(), ansiTone), 2500);
    EXPECT_EQ(Probe("in_synthw.dll").Log(),
              "GetExtendedFileInfo(" + ToUtf8(wideTone) + ",length)\n");
    EXPECT_EQ(Probe("in_syntha.dll").Log(),
              "GetExtendedFileInfo(" + ToUtf8(ansiTone) + ",length)\n");
}

TEST_F(FileInfo, ALengthAnswerThatIsNoWholeNumberIsMinusOneAndGetFileInfoIsNotAsked) {
    Wide().GetExtendedFileInfoW = &AnswerEveryField;
    for (const wchar_t *answer : {L"abc", L"-1", L"1.5", L""}) {
        Answer = answer;
        EXPECT_EQ(GetLengthMs(Wide(), wideTone), -1) << ToUtf8(answer);
    }
    Answer = L"180";
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), 180);
    EXPECT_EQ(Asked("in_synthw.dll", "GetFileInfo"), 0);
}

TEST_F(FileInfo, WithoutAnExtendedAnswerTheLengthComesFromGetFileInfoInThePluginsNameForm) {
    Wide().GetExtendedFileInfoW = nullptr;
    Ansi().GetExtendedFileInfo = nullptr;
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), 180);
    EXPECT_EQ(GetLengthMs(Ansi(), ansiTone), 2500);
    EXPECT_EQ(Probe("in_synthw.dll").Log(), "GetFileInfo(" + ToUtf8(wideTone) + ")\n");
    EXPECT_EQ(Probe("in_syntha.dll").Log(), "GetFileInfo(" + ToUtf8(ansiTone) + ")\n");

    // An extended function that declines hands on to GetFileInfo as well.
    Wide().GetExtendedFileInfoW = &AnswerNoField;
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), 180);
    EXPECT_EQ(Asked("in_synthw.dll", "GetFileInfo"), 2);
    // The stream player knows no length: GetFileInfo says -1.
    EXPECT_EQ(GetLengthMs(Stream(), L"http://radio.example/live"), -1);
}

TEST_F(FileInfo, TheLengthIsMinusTwoWhenNoSourceWroteOne) {
    Wide().GetExtendedFileInfoW = nullptr;
    In_Module *record = Wide().Module;
    const auto own = record->GetFileInfo;
    record->GetFileInfo = &SayNothing;
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), -2);
    EXPECT_EQ(Query(Wide(), wideTone, "length"), L"-2");
    record->GetFileInfo = nullptr;
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), -2);
    record->GetFileInfo = own;
}

TEST_F(FileInfo, AFaultInsideGetFileInfoDuringAFallBackIsCaught) {
    // The name does not parse: extended information declines, GetFileInfo really faults.
    const std::wstring broken = L"C:\\m\\broken.syf";
    EXPECT_EQ(GetLengthMs(Faulty(), broken), -2);
    EXPECT_TRUE(Faulty().IsFaulted());
    EXPECT_FALSE(Wide().IsFaulted());
}

// The plug-in may have died holding a lock of its own: it is asked nothing more, also about
// files it would have answered, and every query gives its fall-back answer.
TEST_F(FileInfo, APlugInThatFaultedIsAskedNothingMore) {
    const std::wstring broken = L"C:\\m\\broken.syf";
    const std::wstring tone = L"C:\\m\\tone_8000_1_16_1000.syf";
    EXPECT_EQ(GetLengthMs(Faulty(), tone), 1000);
    EXPECT_EQ(Query(Faulty(), broken, "title"), L""); // faults here
    Probe("in_faultinfo.dll").ClearLog();
    EXPECT_EQ(GetLengthMs(Faulty(), broken), -2);
    EXPECT_EQ(GetLengthMs(Faulty(), tone), -2);
    EXPECT_EQ(Query(Faulty(), tone, "length", false), L"(unchanged)");
    EXPECT_EQ(Query(Faulty(), tone, "title", false), L"(unchanged)");
    EXPECT_TRUE(IsAudioFile(Faulty(), tone)); // "type" goes unanswered
    EXPECT_EQ(Probe("in_faultinfo.dll").Log(), "");
    // Its files are still found by their extension, without asking it.
    EXPECT_EQ(OwnerOf(tone), "in_faultinfo.dll");
    EXPECT_EQ(OwnerOf(L"C:\\m\\no.extension"), "(none)");
    // The other plug-ins answer as before.
    EXPECT_EQ(GetLengthMs(Wide(), wideTone), 180);
}

TEST_F(FileInfo, ValuesComeFromExtendedInformationInEitherForm) {
    EXPECT_EQ(Query(Wide(), wideTone, "type"), L"0");
    EXPECT_EQ(Query(Wide(), wideTone, "family"), L"Synthetic tone");
    EXPECT_EQ(Query(Ansi(), ansiTone, "title"), L"tone_8000_1_8_2500");
    EXPECT_EQ(Query(Ansi(), ansiTone, "length"), L"2500");
    EXPECT_EQ(Query(Wide(), wideTone, "artist", false), L"(unchanged)");
    EXPECT_EQ(Asked("in_synthw.dll", "GetFileInfo"), 0);
}

TEST_F(FileInfo, WithoutExtendedInformationOnlyLengthAndTitleAreKnown) {
    Wide().GetExtendedFileInfoW = nullptr;
    Ansi().GetExtendedFileInfo = nullptr;
    EXPECT_EQ(Query(Wide(), wideTone, "Title"), L"tone_44100_2_16_180");
    EXPECT_EQ(Query(Wide(), wideTone, "LENGTH"), L"180");
    EXPECT_EQ(Query(Ansi(), ansiTone, "title"), L"tone_8000_1_8_2500");
    EXPECT_EQ(Asked("in_synthw.dll", "GetFileInfo"), 2);
    EXPECT_EQ(Query(Wide(), wideTone, "type", false), L"(unchanged)");
    EXPECT_EQ(Query(Wide(), wideTone, "artist", false), L"(unchanged)");
    EXPECT_EQ(Asked("in_synthw.dll", "GetFileInfo"), 2);
}

TEST_F(FileInfo, AFileIsAudioWhenItsTypeIsZeroOrUnknown) {
    EXPECT_TRUE(IsAudioFile(Wide(), wideTone));
    EXPECT_TRUE(IsAudioFile(Stream(), L"http://radio.example/live"));
    Wide().GetExtendedFileInfoW = &AnswerEveryField;
    Answer = L"1";
    EXPECT_FALSE(IsAudioFile(Wide(), wideTone));
    Answer = L"";
    EXPECT_FALSE(IsAudioFile(Wide(), wideTone));
    Answer = L"0";
    EXPECT_TRUE(IsAudioFile(Wide(), wideTone));
    Wide().GetExtendedFileInfoW = &AnswerNoField;
    EXPECT_TRUE(IsAudioFile(Wide(), wideTone));
}

} // namespace
