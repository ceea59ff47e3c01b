// The album rule: which two entries join without a crossfade.
#include "sound/AlbumJoin.h"

#include <gtest/gtest.h>

namespace {

TAlbumTags Tags(const wchar_t *album, const wchar_t *albumArtist, const wchar_t *artist,
                const wchar_t *track) {
    return {album, albumArtist, artist, track};
}

TEST(AlbumJoin, TrackNumbersAreWholePositiveNumbersBeforeAnyTotal) {
    const struct {
        const wchar_t *Text;
        std::optional<int> Number;
    } cases[] = {{L"3", 3},         {L"03", 3},           {L" 7/12 ", 7}, {L"12 / 14", 12},
                 {L"", std::nullopt}, {L"0", std::nullopt}, {L"-1", std::nullopt},
                 {L"2a", std::nullopt}, {L"/5", std::nullopt}, {L"1234567", std::nullopt}};
    for (const auto &c : cases)
        EXPECT_EQ(AlbumTrackNumber(c.Text), c.Number) << std::wstring(c.Text).size();
}

TEST(AlbumJoin, OnlyTheNextTrackOfTheSameAlbumAndArtistContinuesIt) {
    const TAlbumTags first = Tags(L"Live", L"Band", L"Band feat. X", L"4/9");
    const struct {
        TAlbumTags Next;
        bool Continues;
    } cases[] = {
        {Tags(L"Live", L"Band", L"Band", L"5/9"), true},
        {Tags(L" Live ", L"Band", L"", L"05"), true},       // blanks and leading zeros
        {Tags(L"Live", L"Band", L"Band", L"6/9"), false},   // a track left out
        {Tags(L"Live", L"Band", L"Band", L"4/9"), false},   // the same track again
        {Tags(L"Live", L"Band", L"Band", L"3/9"), false},   // played backwards
        {Tags(L"live", L"Band", L"Band", L"5/9"), false},   // another title
        {Tags(L"Live", L"Other", L"Band", L"5/9"), false},  // another album artist
        {Tags(L"Live", L"Band", L"Band", L""), false},      // no track number
    };
    for (const auto &c : cases)
        EXPECT_EQ(ContinuesAlbum(first, c.Next), c.Continues) << c.Next.Album.size() << c.Next.Track.size();
    // Without album artists the artists decide; an untitled album never continues.
    EXPECT_TRUE(ContinuesAlbum(Tags(L"A", L"", L"Solo", L"1"), Tags(L"A", L"", L"Solo", L"2")));
    EXPECT_FALSE(ContinuesAlbum(Tags(L"A", L"", L"Solo", L"1"), Tags(L"A", L"", L"Duo", L"2")));
    EXPECT_FALSE(ContinuesAlbum(Tags(L"", L"B", L"B", L"1"), Tags(L"", L"B", L"B", L"2")));
}

} // namespace
