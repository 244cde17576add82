// SPDX-License-Identifier: MIT
// The sentence engine per sentence: parse and build through the init-protocol parser,
// against a plain C++ baseline that only checks the frame, computes the checksum and
// splits the fields (parse), or frames the fields with their checksum (build).
// Prints result lines with the ratios after the console table.

#include <kvdevice/parserinit.h>
#include <kvdevice/sessioninit.h>

#include "benchsupport.h"
#include "gbresults.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

const QString versionAnswer = QStringLiteral("$PKVVER,HW2-6100028,3,2,3*03\r\n");
const QString infoAnswer = QStringLiteral("$PTKVRD,INF,KV-INFO,DT,61,R2,1.4.0,HW3,APP*5f\r\n");

Nmea::ParserInit &parser()
{
    static Nmea::ParserInit instance;
    static const bool ready = instance.init();
    Q_UNUSED(ready)
    return instance;
}

void parseVersionAnswer(benchmark::State &state)
{
    KvDevice::SessionInit session;
    for (auto _ : state) {
        session.clear();
        parser().parse(&session, versionAnswer);
        benchmark::DoNotOptimize(session.parameters);
    }
}
BENCHMARK(parseVersionAnswer);

void parseInfoAnswer(benchmark::State &state)
{
    KvDevice::SessionInit session;
    for (auto _ : state) {
        session.clear();
        parser().parse(&session, infoAnswer);
        benchmark::DoNotOptimize(session.parameters);
    }
}
BENCHMARK(parseInfoAnswer);

void buildVersionQuery(benchmark::State &state)
{
    KvDevice::SessionInit session;
    session.clear();
    session.sentenceId = 1;
    QString text;
    for (auto _ : state) {
        parser().build(&session, text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(buildVersionQuery);

void buildInfoRequest(benchmark::State &state)
{
    KvDevice::SessionInit session;
    session.clear();
    session.sentenceId = 2;
    session.parameters.insert(QStringLiteral("subcommand"), QStringLiteral("INF"));
    QString text;
    for (auto _ : state) {
        parser().build(&session, text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(buildInfoRequest);

// The baseline: what any parser must do at least, on plain bytes.
bool baselineParse(std::string_view s, std::vector<std::string_view> &fields)
{
    if (s.empty() || (s[0] != '$' && s[0] != '!') || s.size() > 74 || s.size() < 3 || s.substr(s.size() - 2) != "\r\n")
        return false;
    const size_t star = s.find('*', 1);
    if (star == std::string_view::npos || s.find('*', star + 1) != std::string_view::npos)
        return false;
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i)
        sum ^= static_cast<unsigned char>(s[i]);
    auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    if (unsigned(hex(s[star + 1]) * 16 + hex(s[star + 2])) != sum)
        return false;
    fields.clear();
    size_t from = 1;
    for (size_t comma; (comma = s.find(',', from)) < star; from = comma + 1)
        fields.push_back(s.substr(from, comma - from));
    fields.push_back(s.substr(from, star - from));
    return true;
}

void baselineParseVersionAnswer(benchmark::State &state)
{
    const QByteArray bytes = versionAnswer.toLatin1();
    const std::string_view text(bytes.constData(), size_t(bytes.size()));
    std::vector<std::string_view> fields;
    fields.reserve(16);
    for (auto _ : state) {
        benchmark::DoNotOptimize(baselineParse(text, fields));
        benchmark::DoNotOptimize(fields.data());
    }
}
BENCHMARK(baselineParseVersionAnswer);

// The build baseline: start flag, address, fields, checksum and line end into a reused buffer.
void baselineBuild(std::string &out, std::string_view address, std::string_view fields)
{
    out.clear();
    out += '$';
    out += address;
    if (!fields.empty()) {
        out += ',';
        out += fields;
    }
    unsigned sum = 0;
    for (size_t i = 1; i < out.size(); ++i)
        sum ^= static_cast<unsigned char>(out[i]);
    out += '*';
    out += "0123456789abcdef"[(sum >> 4) & 0xf];
    out += "0123456789abcdef"[sum & 0xf];
    out += "\r\n";
}

void baselineBuildVersionQuery(benchmark::State &state)
{
    std::string text;
    text.reserve(80);
    for (auto _ : state) {
        baselineBuild(text, "PKVVER", {});
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(baselineBuildVersionQuery);

void baselineBuildInfoRequest(benchmark::State &state)
{
    std::string text;
    text.reserve(80);
    for (auto _ : state) {
        baselineBuild(text, "PTKVWR", "INF");
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(baselineBuildInfoRequest);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Bench::Collector runs;
    benchmark::RunSpecifiedBenchmarks(&runs);

    const double parse = runs.ns("parseVersionAnswer");
    const double build = runs.ns("buildVersionQuery");
    const double parseBase = runs.ns("baselineParseVersionAnswer");
    const double buildBase = runs.ns("baselineBuildVersionQuery");
    Bench::result("engine.parse_version_answer", parse, "ns", "<1000");
    Bench::result("engine.parse_info_answer", runs.ns("parseInfoAnswer"), "ns");
    Bench::result("engine.baseline_parse_version_answer", parseBase, "ns");
    if (parseBase > 0)
        Bench::result("engine.parse_ratio_to_baseline", parse / parseBase, "x");
    Bench::result("engine.build_version_query", build, "ns", "<500");
    Bench::result("engine.build_info_request", runs.ns("buildInfoRequest"), "ns");
    Bench::result("engine.baseline_build_version_query", buildBase, "ns");
    if (buildBase > 0)
        Bench::result("engine.build_ratio_to_baseline", build / buildBase, "x");
    benchmark::Shutdown();
    return 0;
}
