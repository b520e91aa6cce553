// The [[line.meter]] tables of qm4720d's file: a meter's station and model, what is polled and
// how often, what may be written, and the settings of single registers ([[line.meter.register]]).
#pragma once

#include <string>

#include "qm4720/qm4720.hpp"
#include "service/core/config_section.h"
#include "service/core/service_config.h"

namespace service {

// The driver whose ParseRegister checks the register names, and the module it loads each meter's
// model from.
struct RegisterChecker {
    qm4720::Driver& driver;
    const std::string& modulePath;
};

// Reads one [[line.meter]]; the meter's model is left loaded in the checker's driver.
MeterConfig ReadMeter(const RegisterChecker& checker, const Section& meter);

}  // namespace service
