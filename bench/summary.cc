// Summarize and RatioByRepetition (declared in report.h).
#include <cstdint>

#include "report.h"

namespace bench {

Summary Summarize(const CaseResult &r) {
  Summary s;
  std::vector<double> mib, appendMib, flush, cpu, p50, p99, maxMicros, lag, wa;
  std::vector<double> reads, readMib, writes, writeMib, flushes, seeks;
  bool counted = true;
  for (const RunResult &run : r.runs) {
    if (!run.ok) continue;
    mib.push_back(run.mibPerSecond);
    appendMib.push_back(run.appendMibPerSecond);
    flush.push_back(run.flushSeconds);
    cpu.push_back(run.cpuSecondsPerGiB);
    p50.push_back(run.p50Micros);
    p99.push_back(run.p99Micros);
    maxMicros.push_back(run.maxMicros);
    lag.push_back(run.maxLagMillis);
    if (run.writeAmplification >= 0) wa.push_back(run.writeAmplification);
    const DeviceRequests &q = run.requests;
    counted = counted && q.counted;
    s.lostEvents += q.lost;
    reads.push_back(double(q.reads));
    readMib.push_back(double(q.readBytes) / (1 << 20));
    writes.push_back(double(q.writes));
    writeMib.push_back(double(q.writeBytes) / (1 << 20));
    flushes.push_back(double(q.flushes));
    seeks.push_back(double(q.seeks));
  }
  s.runs = int(mib.size());
  s.ok = !mib.empty() && mib.size() == r.runs.size();
  s.mib = SpreadOf(mib);
  s.appendMib = SpreadOf(appendMib);
  s.flushSeconds = SpreadOf(flush);
  s.cpu = SpreadOf(cpu);
  s.p50 = SpreadOf(p50);
  s.p99 = SpreadOf(p99);
  s.maxMicros = SpreadOf(maxMicros);
  s.maxLag = SpreadOf(lag);
  s.wa = SpreadOf(wa);
  s.requestsCounted = counted && !mib.empty();
  if (s.requestsCounted) {
    s.reads = SpreadOf(reads);
    s.readMib = SpreadOf(readMib);
    s.writes = SpreadOf(writes);
    s.writeMib = SpreadOf(writeMib);
    s.flushes = SpreadOf(flushes);
    s.seeks = SpreadOf(seeks);
  }
  return s;
}

Spread RatioByRepetition(const CaseResult &r, const CaseResult &base, double RunResult::*figure) {
  std::vector<double> ratios;
  for (size_t i = 0; i < r.runs.size() && i < base.runs.size(); ++i) {
    const RunResult &a = r.runs[i], &b = base.runs[i];
    if (a.ok && b.ok && b.*figure > 0) ratios.push_back(a.*figure / (b.*figure));
  }
  return SpreadOf(ratios);
}

}  // namespace bench
