#!/usr/bin/python3
"""Times OpenCV's colour non-local-means denoising and measures its PSNR against a clean photo.

Usage: peer_opencv_denoise.py CLEAN.ppm NOISY.ppm H [REPEATS]
Prints 'seconds S' (best of REPEATS), 'psnr_noisy P' and 'psnr_denoised P'.
"""
import sys
import time

import cv2
import numpy as np


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def main():
    clean = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
    noisy = cv2.imread(sys.argv[2], cv2.IMREAD_COLOR)
    h = float(sys.argv[3])
    repeats = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    best = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = cv2.fastNlMeansDenoisingColored(noisy, None, h, h, 7, 21)
        s = time.perf_counter() - t0
        best = s if best is None else min(best, s)
    print(f"seconds {best:.3f}")
    print(f"psnr_noisy {psnr(clean, noisy):.2f}")
    print(f"psnr_denoised {psnr(clean, out):.2f}")


if __name__ == "__main__":
    main()
