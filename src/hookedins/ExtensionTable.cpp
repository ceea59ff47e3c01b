#include "ExtensionTable.h"

#include <algorithm>
#include <cstring>

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return lower;
}

TExtensionTable ParseFileExtensions(const char *list) {
    TExtensionTable table;
    if (!list)
        return table;
    const char *position = list;
    while (*position != '\0') {
        TRFEItem item;
        item.Pattern = position;
        position += item.Pattern.size() + 1;
        table.Extensions += LowerAscii(item.Pattern) + ";";
        // A missing description leaves the position on the terminating empty string.
        if (*position != '\0') {
            item.Description = position;
            position += item.Description.size() + 1;
        }
        table.Items.push_back(std::move(item));
    }
    return table;
}

std::string ExtensionOf(std::string_view narrowName) {
    const std::size_t last = narrowName.find_last_of(".\\:");
    if (last == std::string_view::npos || narrowName[last] != '.')
        return {};
    return LowerAscii(narrowName.substr(last + 1));
}

bool ExtensionListed(std::string_view extensions, std::string_view lowerExtension) {
    if (lowerExtension.empty())
        return false;
    for (std::size_t start = 0, end; (end = extensions.find(';', start)) != std::string_view::npos;
         start = end + 1) {
        if (extensions.substr(start, end - start) == lowerExtension)
            return true;
    }
    return false;
}

std::size_t ExtensionListSize(const char *list) {
    if (!list)
        return 0;
    std::size_t size = 0;
    while (list[size] != '\0')
        size += std::strlen(list + size) + 1;
    return size + 1;
}
