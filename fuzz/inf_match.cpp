// The installer's earlier-copy clean-up: whether an INF text names one of our hardware ids whole.
// Any text and any id; the answer must agree with a split of the text at the id delimiters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "inf_match.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Byte 0: the id's length; the id (as the installer makes it: no zero byte), then the INF text.
    if (size < 1) return 0;
    std::size_t id_size = std::min<std::size_t>(data[0], size - 1);
    std::vector<char> id(data + 1, data + 1 + id_size);  // exact sizes: ASan sees any read past them
    id.erase(std::remove(id.begin(), id.end(), '\0'), id.end());
    std::vector<char> text(data + 1 + id_size, data + size);

    const bool named = deploya::inf_names_id(text.data(), text.size(), id.data(), id.size());

    // An id without delimiters in it is named exactly when it is one of the text's pieces.
    bool has_delimiter = false;
    for (char c : id) has_delimiter |= deploya::ends_id(c);
    if (!has_delimiter) {
        bool found = false;
        std::string piece;
        for (std::size_t i = 0; i <= text.size(); ++i) {
            if (i == text.size() || deploya::ends_id(text[i])) {
                found |= !id.empty() && piece.size() == id.size() && std::memcmp(piece.data(), id.data(), id.size()) == 0;
                piece.clear();
            } else {
                piece.push_back(text[i]);
            }
        }
        require(named == found);
    } else if (named) {
        // Named whole: the id occurs, with a delimiter or an end on both sides of some occurrence.
        const std::string t(text.begin(), text.end()), s(id.begin(), id.end());
        bool whole = false;
        for (std::size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + 1)) {
            const bool before = at == 0 || deploya::ends_id(t[at - 1]);
            const bool after = at + s.size() == t.size() || deploya::ends_id(t[at + s.size()]);
            whole |= before && after;
        }
        require(whole);
    }
    return 0;
}
