// Stream title blocks.

#include "httpd/icy.h"

#include <cstring>

#include "datapath/isoconv.h"

bool icy_requested(const char *value) {
    if (!value) return false;
    while (*value == ' ' || *value == '\t') value++;
    if (*value != '1') return false;
    value++;
    while (*value == ' ' || *value == '\t') value++;
    return *value == 0;
}

std::string icy_title_block(const char *title) {
    static constexpr char head[] = "StreamTitle='";
    static constexpr char tail[] = "';";
    std::string text(1, '\0');  // the length byte, set at the end
    text += head;
    const size_t room = icy_text_max - (sizeof tail - 1);
    bool after_quote = false;
    for (const char *p = title ? title : ""; *p; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        char piece[3] = {};
        if (c < 0x20 || c == 0x7F) {
            piece[0] = ' ';
        } else if (c == '\'' || c == '\\' || (c == ';' && after_quote)) {
            piece[0] = '\\';
            piece[1] = static_cast<char>(c);
        } else {
            const char one[2] = {static_cast<char>(c), 0};
            const std::string u = latin1_to_utf8(one);
            memcpy(piece, u.data(), u.size() < 2 ? u.size() : 2);
        }
        const size_t n = strlen(piece);
        // The length byte is not part of the text.
        if (text.size() - 1 + n > room) break;
        text.append(piece, n);
        after_quote = c == '\'';
    }
    text += tail;
    const size_t body = text.size() - 1;
    const size_t units = (body + icy_unit - 1) / icy_unit;
    text.append(units * icy_unit - body, '\0');
    text[0] = static_cast<char>(units);
    return text;
}
