// SPDX-License-Identifier: ISC
// The sources kept with the shared nexthops, found anew after a change.
#include "nearest_source.h"

namespace nearest_internal {

void refresh(state &st)
{
    if (st.fresh_gen == st.gen)
        return;
    for (hop &x : st.hops) {
        if (x.refs == 0 || x.gen == st.gen || x.object != 0) // a binding's members answer
            continue;
        const device *d = st.find_device(x.nh.oif);
        x.device = d != nullptr ? static_cast<u32>(d - st.devices.data) : none;
        if (x.has_prefsrc)
            x.source = st.find_address(x.slot, x.prefsrc);
        else if (x.slot == v4)
            x.source = choose4(st, x.nh.oif, x.nh.gwslot == v4 ? x.nh.gateway : nullptr, x.scope);
        else
            x.source = none; // IPv6 chooses for each destination
        x.gen = st.gen;
    }
    st.fresh_gen = st.gen;
}

} // namespace nearest_internal
