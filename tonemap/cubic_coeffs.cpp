// Cubic easing coefficients from the four conditions, solved in closed form.
#include "tonemap/cubic_coeffs.h"

int coeffPoly3(float *a, float *b, float *c, float *d, float x0, float y0, float x1, float y1)
{
    if (!a || !b || !c || !d)
        return -3;
    // 2 (x1 - x0)^3, written out as the closed form was derived.
    const float den = 2.0f * (x1 * x1 * x1 - x0 * x0 * x0) + 6.0f * x0 * x1 * (x0 - x1);
    if (den == 0) {
        *a = *b = *c = *d = 0.0f;
        return 0;
    }
    const float A = (y0 - y1) / den;
    const float B = -3.0f * x1 * A;
    const float C = A * (6.0f * x0 * x1 - 3.0f * x0 * x0);
    *a = A;
    *b = B;
    *c = C;
    *d = y0 - (A * x0 * x0 * x0 + B * x0 * x0 + C * x0);
    return 0;
}
