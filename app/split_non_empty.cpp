#include "app/split_non_empty.h"

namespace varnelo {

std::vector<Text> SplitNonEmpty(const Text& text, const Text& separator) {
    const Text sep = separator.empty() ? Text(",") : separator;
    std::vector<Text> pieces;
    std::size_t pieceStart = 0;
    std::size_t i = 0;
    auto flush = [&](std::size_t end) {
        if (end > pieceStart) pieces.push_back(text.substr(pieceStart, end - pieceStart));
    };
    while (i < text.size()) {
        if (text.compare(i, sep.size(), sep) == 0) {
            flush(i);
            i += sep.size();
            pieceStart = i;
        } else {
            i += (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
        }
    }
    flush(text.size());
    return pieces;
}

}  // namespace varnelo
