// The status server's documents, apart from the server: /api/state (the
// panels and their points, values as a person reads them) and /health
// (whether every value served is current, with each panel's reason), each
// taken at one instant. Their text is always valid JSON: names were checked
// for UTF-8 where they entered, and what is written replaces anything that
// is not.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "gateway/metrics.h"
#include "gateway/point_store.h"

namespace zulgate {

struct CheckedConfig;

nlohmann::json StateJson(const CheckedConfig& checked, const PointStore& store, const Metrics& metrics,
                         Clock::time_point now);
// ok: every panel up and every value of it current.
nlohmann::json HealthJson(const CheckedConfig& checked, const PointStore& store, Clock::time_point now, bool& ok);

// The document's text; never throws (invalid UTF-8 becomes U+FFFD).
std::string JsonText(const nlohmann::json& document);

// A value's quality in words, as /api/state gives it: "good" exactly when
// the value is current, else why not ("older than stale_ms", "last read
// failed", "panel away", ...).
const char* QualityText(const StoredValue& value, bool current);

} // namespace zulgate
