// What the messages between zulgate and a panel's worker carry, beyond
// plain numbers: the worker's setup, the store's updates and value lists,
// cycle figures, write requests, and the enumerations, each read back only
// when it is one the gateway knows.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/point_store.h"
#include "gateway/worker/message.h"
#include "gateway/write_queue.h"

namespace zulgate::worker {

// All a worker needs to drive its panel as the gateway would: the driver
// file the gateway loaded, and the configuration and the panel's point list
// exactly as the gateway read them (never read again: they may have changed
// since), from which it builds the panel's map with the same code.
struct WorkerSetup {
    std::string library;
    bool librarySearch = false; // a name for the system to look for
    std::string configPath;     // names the configuration in messages; places its point lists
    std::string configText;
    std::size_t panel = 0; // which [[panel]] of it
    std::string pointsText;
    std::string port;              // the name its driver opens: the configured one, or the gateway's entry for a URL
    Level threshold = Level::Info; // the lines worth sending
};

std::vector<std::uint8_t> EncodeSetup(const WorkerSetup& setup);
bool DecodeSetup(const std::vector<std::uint8_t>& message, WorkerSetup& setup);

void Put(MessageWriter& m, const std::vector<PointStore::Update>& updates);
void Put(MessageWriter& m, const std::vector<std::size_t>& values);
void Put(MessageWriter& m, const CycleStats& cycle);
void Put(MessageWriter& m, const std::vector<PointWrite>& writes);

std::vector<PointStore::Update> GetUpdates(MessageReader& m);
std::vector<std::size_t> GetValues(MessageReader& m);
CycleStats GetCycle(MessageReader& m);
std::vector<PointWrite> GetWrites(MessageReader& m);

// An enumeration's number, when it names one of its values.
std::optional<Quality> QualityOf(std::uint8_t n);
std::optional<PanelState> PanelStateOf(std::uint8_t n);
std::optional<Level> LevelOf(std::uint8_t n);
std::optional<RequestResult> RequestResultOf(std::uint8_t n);
std::optional<WriteOutcome> WriteOutcomeOf(std::uint8_t n);
// A request kind's place in RequestKinds, and back.
std::uint8_t KindNumber(const char* kind);
const char* KindOf(std::uint8_t n); // null when there is none

} // namespace zulgate::worker
