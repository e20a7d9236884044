#include "intake/LineFraming.h"

#include <string.h>

#include <algorithm>
#include <utility>

std::string LineFraming::Line::shown() const {
    // Up to a NUL byte, as the C string it is to the acquisition program.
    return std::string(text.c_str()).substr(0, refusedShown) + "...";
}

std::string LineFraming::Line::whyRefused() {
    return "the line is longer than " + std::to_string(lineLimit) + " bytes";
}

void LineFraming::feed(const char* bytes, size_t count, std::vector<Line>& lines) {
    const char* at = bytes;
    const char* const end = bytes + count;
    while (at < end) {
        const char* newline = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
        const char* const stop = newline != nullptr ? newline + 1 : end;
        const size_t length = static_cast<size_t>(stop - at);
        const size_t room = lineLimit - piece.text.size();
        piece.text.append(at, std::min(length, room));
        if (length > room) piece.tooLong = true;  // the rest of the line is dropped
        if (newline != nullptr) {
            lines.push_back(std::move(piece));
            piece = Line();
        }
        at = stop;
    }
}

void LineFraming::endOfInput(std::vector<Line>& lines) {
    if (piece.text.empty()) return;
    lines.push_back(std::move(piece));
    piece = Line();
}
