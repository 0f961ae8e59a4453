#!/usr/bin/python3
"""Times OpenCV's merge and global tone mapping of a bracket, for side-by-side comparison.

Usage: peer_opencv.py OUT.jpg TIME1 PHOTO1 [TIME2 PHOTO2 ...]
Prints one 'stage seconds' line per stage: decode, merge, tonemap, save.
"""
import sys
import time

import cv2
import numpy as np


def main():
    out = sys.argv[1]
    pairs = sys.argv[2:]
    times = np.array([float(t) for t in pairs[0::2]], dtype=np.float32)
    paths = pairs[1::2]
    t0 = time.perf_counter()
    photos = [cv2.imread(p, cv2.IMREAD_COLOR) for p in paths]
    t1 = time.perf_counter()
    hdr = cv2.createMergeDebevec().process(photos, times)
    t2 = time.perf_counter()
    ldr = cv2.createTonemapReinhard(gamma=2.2).process(hdr)
    t3 = time.perf_counter()
    cv2.imwrite(out, np.clip(ldr * 255, 0, 255).astype(np.uint8), [cv2.IMWRITE_JPEG_QUALITY, 100])
    t4 = time.perf_counter()
    for name, s in (("decode", t1 - t0), ("merge", t2 - t1), ("tonemap", t3 - t2), ("save", t4 - t3)):
        print(f"{name} {s:.4f}")


if __name__ == "__main__":
    main()
