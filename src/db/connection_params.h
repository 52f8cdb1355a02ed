// The database the server talks to. The host and the bootstrap script are chosen when the server
// is built (CMake cache variables KORVANE_DB_HOST and KORVANE_INIT_SQL); the rest is fixed.
#ifndef KORVANE_DB_CONNECTION_PARAMS_H_
#define KORVANE_DB_CONNECTION_PARAMS_H_

#include "korvane_config.h"

namespace db_params {

constexpr char kHost[] = KORVANE_DB_HOST;
constexpr char kUser[] = "korvane";
constexpr char kPassword[] = "wexolim";
constexpr char kDatabase[] = "korvane_db";
constexpr char kInitScript[] = KORVANE_INIT_SQL;

}  // namespace db_params

#endif  // KORVANE_DB_CONNECTION_PARAMS_H_
