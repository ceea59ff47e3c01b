#include "AlbumJoin.h"

namespace {

std::wstring_view Trimmed(std::wstring_view text) {
    constexpr std::wstring_view blanks = L" \t";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The album artist where the tags name one, else the track's artist: tags written by different
// tools fill one or the other.
std::wstring_view AlbumArtistOf(const TAlbumTags &tags) {
    const std::wstring_view albumArtist = Trimmed(tags.AlbumArtist);
    return albumArtist.empty() ? Trimmed(tags.Artist) : albumArtist;
}

} // namespace

std::optional<int> AlbumTrackNumber(std::wstring_view text) {
    text = Trimmed(text);
    text = Trimmed(text.substr(0, text.find(L'/')));
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    int number = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        number = number * 10 + (c - L'0');
    }
    return number > 0 ? std::optional<int>(number) : std::nullopt;
}

bool ContinuesAlbum(const TAlbumTags &current, const TAlbumTags &next) {
    const std::wstring_view album = Trimmed(current.Album);
    if (album.empty() || album != Trimmed(next.Album) || AlbumArtistOf(current) != AlbumArtistOf(next))
        return false;
    const std::optional<int> from = AlbumTrackNumber(current.Track);
    const std::optional<int> to = AlbumTrackNumber(next.Track);
    return from && to && *to == *from + 1;
}
