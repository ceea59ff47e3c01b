// An empty in-memory dialog template: the dialog manager gives the window its font (and with it
// the dialog's keyboard behaviour), while every control is placed in pixels afterwards, which a
// template in dialog units could not promise.
#pragma once

#include <windows.h>

#include <vector>

inline std::vector<WORD> EmptyDialogTemplate(DWORD style, const wchar_t *caption,
                                             const wchar_t *fontFace, WORD fontPoints) {
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
    auto *header = reinterpret_cast<DLGTEMPLATE *>(words.data());
    header->style = style;
    words.push_back(0); // no menu
    words.push_back(0); // the dialog class
    for (const wchar_t *c = caption; *c; ++c)
        words.push_back(static_cast<WORD>(*c));
    words.push_back(0);
    words.push_back(fontPoints);
    for (const wchar_t *c = fontFace; *c; ++c)
        words.push_back(static_cast<WORD>(*c));
    words.push_back(0);
    return words;
}
