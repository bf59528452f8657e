#include "notice/html_to_text.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>
#include <string_view>

namespace varnelo {
namespace {

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

bool NameIs(const xmlNode* node, std::initializer_list<std::string_view> names) {
    std::string_view name = reinterpret_cast<const char*>(node->name);
    for (std::string_view candidate : names) {
        if (name.size() == candidate.size() &&
            std::equal(name.begin(), name.end(), candidate.begin(),
                       [](char a, char b) { return (a | 0x20) == (b | 0x20); })) {
            return true;
        }
    }
    return false;
}

bool IsSkipped(const xmlNode* node) {
    return NameIs(node, {"script", "style", "head", "noscript", "template", "title"});
}

bool IsBlock(const xmlNode* node) {
    return NameIs(node, {"p",       "div",     "li",    "ul",       "ol",     "dl",     "dt",
                         "dd",      "h1",      "h2",    "h3",       "h4",     "h5",     "h6",
                         "table",   "tr",      "pre",   "blockquote", "hr",   "section",
                         "article", "header",  "footer", "nav",     "aside",  "address",
                         "form",    "fieldset", "center", "caption", "figure", "main", "body"});
}

// Builds the text in UTF-8, collapsing blanks as a browser lays out inline text.
class TextBuilder {
public:
    void Text(std::string_view utf8, bool preformatted) {
        for (size_t i = 0; i < utf8.size(); ++i) {
            char c = utf8[i];
            if (utf8.compare(i, 2, "\xC2\xA0") == 0) {  // non-breaking space: a kept blank
                out_.push_back(' ');
                ++i;
            } else if (preformatted && (c == '\n' || c == '\r')) {
                if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
                Break();
            } else if (!preformatted && (c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
                                         c == '\f')) {
                if (!AtLineStart() && out_.back() != ' ') out_.push_back(' ');
            } else {
                out_.push_back(c);
            }
        }
    }
    void Break() {
        TrimBlanks();
        out_ += "\r\n";
    }
    void EnsureLineStart() {
        if (!AtLineStart()) Break();
    }
    std::string Finish() {
        size_t first = out_.find_first_not_of(" \r\n");
        if (first == std::string::npos) return {};
        size_t last = out_.find_last_not_of(" \r\n");
        return out_.substr(first, last - first + 1);
    }

private:
    bool AtLineStart() const { return out_.empty() || out_.back() == '\n'; }
    void TrimBlanks() {
        while (!out_.empty() && out_.back() == ' ') out_.pop_back();
    }
    std::string out_;
};

bool InsidePre(const xmlNode* node) {
    for (const xmlNode* up = node->parent; up; up = up->parent) {
        if (up->type == XML_ELEMENT_NODE && NameIs(up, {"pre", "textarea"})) return true;
    }
    return false;
}

// Walks the tree without recursion, so deep nesting cannot exhaust the stack.
void Walk(const xmlNode* root, TextBuilder& builder) {
    const xmlNode* node = root;
    while (node) {
        bool descend = false;
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            if (node->content) {
                builder.Text(reinterpret_cast<const char*>(node->content), InsidePre(node));
            }
        } else if (node->type == XML_ELEMENT_NODE && !IsSkipped(node)) {
            if (NameIs(node, {"br"})) builder.Break();
            if (IsBlock(node)) builder.EnsureLineStart();
            descend = node->children != nullptr;
        }
        if (descend) {
            node = node->children;
            continue;
        }
        // Climb until a next sibling exists, closing the blocks left on the way.
        while (node && node != root && !node->next) {
            node = node->parent;
            if (node && node->type == XML_ELEMENT_NODE && IsBlock(node)) builder.EnsureLineStart();
        }
        if (!node || node == root) break;
        node = node->next;
    }
}

}  // namespace

Text HtmlToText(const Text& html) {
    if (html.empty()) return {};
    ByteSet utf8 = Cp936ToUtf8(html);
    if (utf8.empty()) return {};
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                        HTML_PARSE_NONET;
    std::unique_ptr<xmlDoc, DocFree> doc(
        htmlReadMemory(reinterpret_cast<const char*>(utf8.data()), static_cast<int>(utf8.size()),
                       nullptr, "UTF-8", options));
    if (!doc) return {};
    xmlNode* top = xmlDocGetRootElement(doc.get());
    if (!top) return {};
    TextBuilder builder;
    Walk(top, builder);
    return Utf8ToCp936(builder.Finish());
}

}  // namespace varnelo
