// Levenberg-Marquardt least squares with the calling shape of lmfit's lmmin, over MINPACK's
// lmdif (cminpack): forward-difference Jacobian, automatic scaling (mode 1), no printing.
#pragma once

#include <cfloat>

// Residual function: fills fvec[0..m_dat-1] for the parameters par; setting *info non-zero
// asks the minimisation to stop.
typedef void (*lm_evaluate_fn)(const double *par, int m_dat, const void *data, double *fvec,
                               int *info);

struct lm_control_struct {
    double ftol;      // relative error wanted in the sum of squares
    double xtol;      // relative error wanted in the parameters
    double gtol;      // orthogonality wanted between the residuals and the Jacobian's columns
    double epsilon;   // relative step of the forward differences
    double stepbound; // initial step bound (lmdif's factor)
    int maxfev;       // budget of residual evaluations
};

struct lm_status_struct {
    double fnorm;  // Euclidean norm of the residuals at the returned parameters
    int nfev;      // evaluations used by the minimisation
    int outcome;   // lmdif's info (0 improper input, 1..4 converged, 5 budget spent, 6..8 the
                   // tolerances are too small); -3 bad argument, -4 out of memory
    int userbreak; // the residual function asked to stop
};

inline constexpr double kLmUserTol = 30.0 * DBL_EPSILON;

// The double-precision defaults; 150 evaluations is the budget of the short fits, callers that
// need more copy the record and raise it.
inline constexpr lm_control_struct lm_control_double = {kLmUserTol, kLmUserTol, kLmUserTol,
                                                        kLmUserTol, 100.0,      150};

// Minimises the sum of squares of the m_dat residuals of evaluate over the n_par parameters par,
// which hold the start on entry and the solution on return. data is handed to evaluate as is.
// status always receives the outcome; fnorm is NaN when the parameters could not be evaluated
// (outcome -3 or -4). m_dat below n_par is improper input: outcome 0, par unchanged, fnorm the
// norm at par.
void lmmin(int n_par, double *par, int m_dat, const void *data, lm_evaluate_fn evaluate,
           const lm_control_struct *control, lm_status_struct *status);
