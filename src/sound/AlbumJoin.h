// When two playlist entries are one album played in order: the rule that lets an album meant to
// play without a break (a live album, movements of one work) join its tracks seamlessly instead
// of crossfading them. Pure: no windows.h, built and tested natively too.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// What an owner plug-in's extended file information tells of a file's place on an album.
struct TAlbumTags {
    std::wstring Album;
    std::wstring AlbumArtist;
    std::wstring Artist;
    std::wstring Track; // "3", "03" or "3/12"
};

// The track number before any "/total", or none for text that is no positive whole number.
std::optional<int> AlbumTrackNumber(std::wstring_view text);

// Whether next is the track after current on the same album: the same album title (not empty),
// the same album artist (the artist where neither names one) and the next track number. Leading
// and trailing blanks do not count; letter case does.
bool ContinuesAlbum(const TAlbumTags &current, const TAlbumTags &next);
