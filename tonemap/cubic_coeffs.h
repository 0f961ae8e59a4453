// Coefficients of the cubic easing curve of the tone curves: flat at its start point and with its
// inflection at its end point, so two such pieces joined at a midpoint make a smooth step.
#pragma once

// Writes through a, b, c, d the coefficients of p(x) = a x^3 + b x^2 + c x + d with p(x0) = y0,
// p(x1) = y1, p'(x0) = 0 and p''(x1) = 0, in single precision; four zeros when x0 = x1.
// Returns 0; -3 when a pointer is null (nothing written).
int coeffPoly3(float *a, float *b, float *c, float *d, float x0, float y0, float x1, float y1);
