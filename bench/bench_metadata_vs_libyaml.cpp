// Reading metadata.yml beside libyaml's own event parse of the same text:
// 100000 tagged values in registers after 0, 1000 and 2000 unused %TAG
// directives whose prefixes start one another (tags_*), the same directives
// alone (directives_*), and 100000 one-entry mappings.  The module's own
// work is a reading's time less libyaml's.  What the tagged values cost it,
//   (tags_read_metadata/D - tags_libyaml_events/D)
//     - (directives_read_metadata/D - directives_libyaml_events/D),
// should not grow with the number of directives D: libyaml resolves these
// verbatim tags without them, and the module finds a tag's prefix in one
// walk along the tag.  The directives themselves cost in proportion to
// their text (D * D / 2 bytes here).
#include <benchmark/benchmark.h>
#include <yaml.h>

#include <cstddef>
#include <string>

#include "acquisition/metadata.hpp"

namespace {

using namespace vexoacq;

std::string list_of(std::size_t n, const std::string& item) {
    std::string out;
    out.reserve(n * (item.size() + 2));
    for (std::size_t k = 0; k < n; ++k) {
        if (k) out += ", ";
        out += item;
    }
    return out;
}

std::string document(const std::string& directives, const std::string& registers) {
    return directives + "params:\n  model: zelkv3\n  channels: 4\n  windows: 1\n  samples: 4\nregisters: " + registers +
           "\n";
}

std::string tagged_text(std::size_t directives, std::size_t tags = 100000) {
    std::string head;
    for (std::size_t k = 1; k <= directives; ++k) {
        head += "%TAG !h";
        head += std::to_string(k);
        head += "! ";
        head += std::string(k, 'a');
        head += "\n";
    }
    if (!head.empty()) head += "---\n";
    return document(head, "{l: [" + list_of(tags, "!<tag:yaml.org,2002:str> x") + "]}");
}

std::string small_mappings_text() { return document("", "{l: [" + list_of(100000, "{a: 1}") + "]}"); }

void read_metadata(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        auto md = acquisition::parse_metadata(text);
        if (!md.ok()) state.SkipWithError("metadata refused");
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void libyaml_events(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        yaml_parser_t parser;
        yaml_parser_initialize(&parser);
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        for (bool done = false; !done;) {
            yaml_event_t event;
            if (yaml_parser_parse(&parser, &event) == 0) {
                state.SkipWithError("libyaml refused the text");
                break;
            }
            done = event.type == YAML_STREAM_END_EVENT;
            yaml_event_delete(&event);
        }
        yaml_parser_delete(&parser);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void tags_read_metadata(benchmark::State& state) {
    read_metadata(state, tagged_text(static_cast<std::size_t>(state.range(0))));
}
void tags_libyaml_events(benchmark::State& state) {
    libyaml_events(state, tagged_text(static_cast<std::size_t>(state.range(0))));
}
void directives_read_metadata(benchmark::State& state) {
    read_metadata(state, tagged_text(static_cast<std::size_t>(state.range(0)), 0));
}
void directives_libyaml_events(benchmark::State& state) {
    libyaml_events(state, tagged_text(static_cast<std::size_t>(state.range(0)), 0));
}
void small_mappings_read_metadata(benchmark::State& state) { read_metadata(state, small_mappings_text()); }
void small_mappings_libyaml_events(benchmark::State& state) { libyaml_events(state, small_mappings_text()); }

BENCHMARK(tags_read_metadata)->Arg(0)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(tags_libyaml_events)->Arg(0)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(directives_read_metadata)->Arg(0)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(directives_libyaml_events)->Arg(0)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(small_mappings_read_metadata)->Unit(benchmark::kMillisecond);
BENCHMARK(small_mappings_libyaml_events)->Unit(benchmark::kMillisecond);

}  // namespace
