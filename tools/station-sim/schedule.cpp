// The station's programme: a running title number that advances every title length (or at
// once on request), with the titles that played before it. Every listener and every
// stream-information document reads the same schedule, so they agree on what plays.
#include <deque>

#include "station_sim.h"

namespace {

// Invented artists and titles. Some carry accents (Latin-1 on the legacy server) and
// apostrophes, as real titles do.
const TitleMeta kTitles[8] = {
    {"Loopback Quartet", "Morning on Port 8471", "Local Host Sessions", "2021", -14},
    {"Mara Lindqvist", "Café Müller", "Northern Lights", "2019", -18},
    {"The Checksums", "Rock 'n' Roll Handshake", "SHA Sessions", "2023", -23},
    {"Inês Duarte", "Saudade em Dó Maior", "Atlântico", "2018", -28},
    {"Kettle & Steam", "Brass Tacks", "Workshop", "2020", -14},
    {"Yuki Aoyama", "Night Train", "Platform 9", "2022", -18},
    {"Orchestra of the Null Device", "Silence Is Not Golden", "/dev/null", "2017", -23},
    {"DJ Nyquist", "Half the Sample Rate", "Aliasing", "2024", -28},
};

using Clock = std::chrono::steady_clock;

std::mutex gScheduleMutex;
bool gScheduleReady = false;
int64_t gIndex = 0;
int64_t gForced = 0;
Clock::time_point gStart;
Clock::time_point gSteadyOrigin;
int64_t gUnixOrigin = 0;
std::deque<HistoryItem> gPast;  // newest first

int64_t UnixAt(Clock::time_point t) {
  return gUnixOrigin + std::chrono::duration_cast<std::chrono::seconds>(t - gSteadyOrigin).count();
}

// Called with the mutex held.
void AdvanceLocked(Clock::time_point now) {
  if (!gScheduleReady) {
    gScheduleReady = true;
    gSteadyOrigin = now;
    gUnixOrigin =
        (int64_t)std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    gStart = now;
    // Pretend the station has been on air for a while, so the history is never empty.
    gIndex = 5;
    for (int64_t k = 4; k >= 0; k--) gPast.push_back({k, gUnixOrigin - (int64_t)((5 - k) * gOpt.titleSeconds)});
  }
  const auto len = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gOpt.titleSeconds));
  while (now - gStart >= len) {
    gPast.push_front({gIndex, UnixAt(gStart)});
    gIndex++;
    gStart += len;
  }
  while (gPast.size() > 40) gPast.pop_back();
}

}  // namespace

const TitleMeta& GetTitleMeta(int variant) { return kTitles[variant % 8]; }

int VariantOf(int64_t titleIndex) {
  const int64_t v = titleIndex % gOpt.variants;
  return (int)(v < 0 ? v + gOpt.variants : v);
}

ScheduleSnapshot GetSchedule() {
  std::lock_guard<std::mutex> lock(gScheduleMutex);
  const auto now = Clock::now();
  AdvanceLocked(now);
  ScheduleSnapshot s;
  s.index = gIndex;
  s.forced = gForced;
  s.elapsed = std::chrono::duration<double>(now - gStart).count();
  s.startUnix = UnixAt(gStart);
  return s;
}

int64_t ForceNextTitle() {
  std::lock_guard<std::mutex> lock(gScheduleMutex);
  const auto now = Clock::now();
  AdvanceLocked(now);
  gPast.push_front({gIndex, UnixAt(gStart)});
  gIndex++;
  gForced++;
  gStart = now;
  return gIndex;
}

std::vector<HistoryItem> GetHistory(size_t maxItems) {
  std::lock_guard<std::mutex> lock(gScheduleMutex);
  AdvanceLocked(Clock::now());
  std::vector<HistoryItem> out;
  out.push_back({gIndex, UnixAt(gStart)});
  for (const HistoryItem& h : gPast) {
    if (out.size() >= maxItems) break;
    out.push_back(h);
  }
  return out;
}
