#include "findings.h"

#include <algorithm>
#include <cctype>

std::string values_blanked(std::string_view message, std::vector<std::string>* values)
{
    std::string kind;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        // An apostrophe after a letter is one of prose ("a shop's"), no quote.
        const bool after_letter = i > 0 && std::isalpha(static_cast<unsigned char>(message[i - 1])) != 0;
        const bool opens = c == '"' || (c == '\'' && !after_letter);
        const std::size_t close = opens ? message.find(c, i + 1) : std::string_view::npos;
        if (close != std::string_view::npos && (c == '"' || close - i < 80)) { // an apostrophe is rarely a quote
            kind += c;
            kind += '*';
            kind += c;
            if (values != nullptr) values->emplace_back(message.substr(i, close - i + 1));
            i = close;
        } else if (c >= '0' && c <= '9') {
            kind += 'N';
            while (i + 1 < message.size() && message[i + 1] >= '0' && message[i + 1] <= '9') ++i;
        } else {
            kind += c;
        }
    }
    return kind;
}

void Findings::add(std::size_t file, unsigned long line, bool error, const std::string& message, std::string_view kind)
{
    const std::size_t most_lines = 5;
    ++my_count;
    std::vector<std::string> values;
    const std::string blanked = values_blanked(message, &values);
    std::string key = std::to_string(file) + (error ? "e" : "w");
    key += kind.empty() ? blanked : values_blanked(kind);
    const auto placed = my_kinds.try_emplace(std::move(key), Kind{file, my_kinds.size(), error, line, message, values, 0, {}});
    if (placed.second) return;
    Kind& k = placed.first->second;
    ++k.more;
    More more{line, std::move(values)};
    if (line < k.line) { // a later check may find its rows in another order
        std::swap(more.line, k.line);
        std::swap(more.values, k.values);
        k.message = message;
    }
    if (k.more_lines.size() == most_lines && more.line >= k.more_lines.back().line) return;
    const auto at = std::upper_bound(k.more_lines.begin(), k.more_lines.end(), more.line,
                                     [](unsigned long l, const More& m) { return l < m.line; });
    k.more_lines.insert(at, std::move(more));
    if (k.more_lines.size() > most_lines) k.more_lines.pop_back();
}

void Findings::write(std::ostream& out, const std::vector<std::string>& names, const char* warning, const char* error,
                     const char* more_of) const
{
    std::vector<const Kind*> kinds;
    for (const auto& k : my_kinds) kinds.push_back(&k.second);
    std::sort(kinds.begin(), kinds.end(), [](const Kind* a, const Kind* b) {
        if (a->file != b->file) return a->file < b->file;
        return a->line != b->line ? a->line < b->line : a->order < b->order;
    });
    for (const Kind* k : kinds) {
        out << names[k->file] << (k->line == 0 ? "" : ":" + std::to_string(k->line)) << ": "
            << (k->error ? error : warning) << k->message;
        if (k->more > 0) {
            out << " (and " << k->more << " more " << more_of << (k->more == 1 ? "" : "s") << " like it, at line"
                << (k->more == 1 ? " " : "s ");
            for (std::size_t i = 0; i < k->more_lines.size(); ++i) {
                const More& m = k->more_lines[i];
                out << (i == 0 ? "" : ", ") << m.line;
                // Its values where they differ from the first's.
                std::string differ;
                for (std::size_t v = 0; v < m.values.size(); ++v)
                    if (v >= k->values.size() || m.values[v] != k->values[v])
                        differ += (differ.empty() ? "" : ", ") + m.values[v];
                if (!differ.empty()) out << " (" << differ << ")";
            }
            if (k->more > k->more_lines.size()) out << ", ...";
            out << ")";
        }
        out << '\n';
    }
}
