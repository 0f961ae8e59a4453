// lmmin over cminpack's lmdif. The final norm is taken by one more evaluation at the returned
// parameters, so it matches them even when the minimisation stopped on a user break.
#include "align/lm_adapter.h"

#include <cminpack.h>

#include <cmath>
#include <limits>
#include <new>
#include <vector>

namespace {

struct Callback {
    lm_evaluate_fn evaluate;
    const void *data;
    bool userbreak;
};

int residuals(void *p, int m, int /*n*/, const double *x, double *fvec, int /*iflag*/)
{
    auto *cb = static_cast<Callback *>(p);
    int info = 0;
    cb->evaluate(x, m, cb->data, fvec, &info);
    if (info != 0) {
        cb->userbreak = true;
        return -1;
    }
    return 0;
}

} // namespace

void lmmin(int n_par, double *par, int m_dat, const void *data, lm_evaluate_fn evaluate,
           const lm_control_struct *control, lm_status_struct *status)
{
    if (!status)
        return;
    *status = {std::numeric_limits<double>::quiet_NaN(), 0, -3, 0};
    if (n_par < 1 || m_dat < 1 || !par || !evaluate || !control)
        return;
    try {
        const size_t n = size_t(n_par), m = size_t(m_dat);
        std::vector<double> fvec(m), fjac(m * n), wa4(m), diag(n), qtf(n), wa1(n), wa2(n), wa3(n);
        std::vector<int> ipvt(n);
        Callback cb{evaluate, data, false};
        int nfev = 0;
        status->outcome =
            lmdif(residuals, &cb, m_dat, n_par, par, fvec.data(), control->ftol, control->xtol,
                  control->gtol, control->maxfev, control->epsilon, diag.data(), 1,
                  control->stepbound, 0, &nfev, fjac.data(), m_dat, ipvt.data(), qtf.data(),
                  wa1.data(), wa2.data(), wa3.data(), wa4.data());
        status->nfev = nfev;
        status->userbreak = cb.userbreak ? 1 : 0;
        int info = 0;
        evaluate(par, m_dat, data, fvec.data(), &info);
        status->fnorm = enorm(m_dat, fvec.data());
    } catch (const std::bad_alloc &) {
        status->outcome = -4;
    }
}
