// velora.data.interface.event_codes: the StockEvents enumeration.
//
//     from enum import Enum
//
//     class StockEvents(Enum):
//         RISE_7 = "01"
//         ...
#include "frame.hpp"

using namespace frame;

namespace {

// Definition order is iteration order; from the fifteenth member on it differs from value order.
constexpr const char *kMembers[][2] = {
    {"RISE_7", "01"},
    {"FLUC_7", "02"},
    {"AMP_15", "03"},
    {"VOL_20", "04"},
    {"CONT3_FLUC_20", "05"},
    {"CONT3_FLUC_15_ST", "06"},
    {"CONT3_VOL_30X_PRE5_VOL_20", "07"},
    {"DAILY_DISC", "08"},
    {"NO_PRICE_LIMIT", "09"},
    {"OTHER_ABN_FLUC", "10"},
    {"CONT3_STOCK_LIMIT_ST", "11"},
    {"CONT3_ST_STOCK_LIMIT", "12"},
    {"CONT2_LIMIT_BROKER", "13"},
    {"CONT3_FLUC_12_ST", "14"},
    {"RISK_VOL_30", "18"},
    {"DAY_AMP_30", "21"},
    {"CONT10_4POS_FLUC", "40"},
    {"SELECT3_FLUC_40", "35"},
    {"DAY_CLOSE_FALL_20", "38"},
    {"CONT10_3POS_FLUC", "23"},
    {"CONT10_CLOSE_FALL_50", "26"},
    {"CONT3_CLOSE_FLUC_30", "31"},
    {"INNOV3_FLUC_120_60", "34"},
    {"CONT30_CLOSE_RISE_200", "27"},
    {"MARGIN_BUY_SELL_50", "16"},
    {"CONT10_4NEG_FLUC", "41"},
    {"VOL_30", "30"},
    {"DAY_CLOSE_RISE_20", "37"},
    {"DAY_VOL_10", "22"},
    {"WITHDRAWAL_STOCK", "19"},
    {"CONT10_3NEG_FLUC", "24"},
    {"CONT10_CLOSE_RISE_100", "25"},
    {"CONT30_CLOSE_FALL_70", "28"},
    {"RISE_15", "29"},
    {"LAST3_FLUC_40", "39"},
    {"FOUND3_FLUC_200_70", "33"},
    {"DAY_AMP_40", "36"},
    {"NO_LIMIT_FLOAT_30", "15"},
    {"SPECIAL_HALT", "32"},
    {"NO_LIMIT_ABN_HALT", "17"},
    {"RISK_WARN_TRADING", "20"},
};

void body(Module &m) {
    m.from_import("enum", {"Enum"});
    m.cls("StockEvents", {m.get("Enum")}, [](ClassBody &c) {
        for (const auto &[name, value] : kMembers) c.set(name, py::str(value));
    });
}

}  // namespace

FRAME_MODULE(event_codes, body)
