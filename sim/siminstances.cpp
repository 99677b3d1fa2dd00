// The instruments of the bench as zelsim::Instrument objects, for both sides that
// implement it: in process (siminstrument.cpp) and in the hidraw rig
// (tools/hidrig/riginstrument.cpp).
#include "siminstrument.h"
#include "simmodel.h"

#include <vector>

namespace zelsim {

Instrument &Instrument::instance()
{
    static Instrument first(0);
    return first;
}

// Made once and never freed, with the list that holds them: hid_exit or hid_close
// may still run from static destructors.
Instrument &Instrument::instance(int number)
{
    static const std::vector<Instrument *> *const all = [] {
        auto *each = new std::vector<Instrument *>;
        for (int n = 1; n <= InstrumentCount; ++n)
            each->push_back(new Instrument(n));
        return each;
    }();
    if (number < 1 || number > InstrumentCount)
        qFatal("zelsim: no instrument %d: the bench has 1 to %d", number, InstrumentCount);
    return *(*all)[number - 1];
}

} // namespace zelsim
