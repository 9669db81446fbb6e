// The errors of the kernels' refusals (refusals.h).
#include "refusals.h"

#include <cfloat>
#include <cstring>
#include <string>

#include "../pyref.h"
#include "errors.h"

namespace vexa::native {
namespace {

// The kernel's verdict on the parameters alone: called over no bars, it runs its checks
// of the integer and real parameters and nothing else.
int32_t check_params(const Row &r, const qx::table::Slot *given) {
    qx::table::Slot slots[kMaxParams] = {};
    for (int i = 0; i < r.nparams; ++i)
        if (!is_array(r.params[i].kind)) slots[i] = given[i];
    return r.invoke(0, slots, nullptr, 0);
}

}  // namespace

bool refused(const char *func, const Row &r, const qx::table::Slot *given, int32_t status) {
    if (status != QX_BAD_PERIOD) return err::refused(func, status);
    int at_fault = -1, faults = 0, reals = 0;
    for (int i = 0; i < r.nparams; ++i) reals += r.params[i].kind == Kind::Real;
    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        if (p.kind == Kind::Int && given[i].value < p.least) {
            Ref v(PyLong_FromLong(given[i].value));
            return err::int_range(func, p.name, p.least, v.get());
        }
        // Integers within their own range are refused together (LAST's A and B).
        if (p.kind != Kind::Real) continue;
        qx::table::Slot trial[kMaxParams] = {};
        std::memcpy(trial, given, sizeof trial[0] * static_cast<size_t>(r.nparams));
        trial[i].real = 1.0;
        if (check_params(r, trial) == 0) {
            at_fault = i;
            ++faults;
        }
    }
    std::string all;
    for (int i = 0; i < r.nparams; ++i) {
        const auto &p = r.params[i];
        if (p.kind != Kind::Int && p.kind != Kind::Real) continue;
        Ref v(p.kind == Kind::Int ? PyLong_FromLong(given[i].value)
                                  : PyFloat_FromDouble(given[i].real));
        if (!v) return false;
        const std::string q = err::quote(v.get());
        // The real parameters of the table (the zigzag's percentage, SAR's) are finite
        // and positive. A value the kernel refuses otherwise is named alone, without a
        // rule, only where it is the row's one real parameter (SAR's STEP and MAX go
        // together).
        const double x = given[i].real;
        const bool outside = !(x > 0.0 && x <= DBL_MAX);
        if (faults == 1 && i == at_fault && (outside || reals == 1))
            return err::real_range(func, p.name, q,
                                   outside ? "a finite number greater than 0" : "");
        all += std::string(all.empty() ? "" : ", ") + p.name + " = " + q;
    }
    return err::ints_together(func, all);
}

}  // namespace vexa::native
