// Malformed description text is answered by the JSON library's parse, type
// and range errors: those are expected outcomes, not findings.
#ifndef KIV_FUZZ_JSON_OUTCOME_H
#define KIV_FUZZ_JSON_OUTCOME_H

#include <nlohmann/json.hpp>

#include "serialization_handler.h"

namespace kiv_fuzz {

// Runs `load` (a call returning a container result code) and tells whether
// it loaded. Any other exception escapes and is a finding.
template <class Load>
bool loaded(Load&& load) {
    try {
        return load() == KIV_SERIALIZATION_OK;
    } catch (const nlohmann::json::parse_error&) {
        return false;
    } catch (const nlohmann::json::type_error&) {
        return false;
    } catch (const nlohmann::json::out_of_range&) {
        return false;
    }
}

}  // namespace kiv_fuzz

#endif  // KIV_FUZZ_JSON_OUTCOME_H
