// The whole engine for native users: include this one header.
#pragma once

#include "korva_address.hpp"
#include "korva_crc.hpp"
#include "korva_engine.hpp"
#include "korva_frame.hpp"
#include "korva_status.hpp"
