#include "PelKit/UpdateSources/UpdateSource.hpp"

namespace pelkit {

UpdateSource::~UpdateSource() = default;

} // namespace pelkit
