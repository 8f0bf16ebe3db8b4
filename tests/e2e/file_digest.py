"""Prints, for each directory named, a line "DIRECTORY:", then for each regular file in it a line
"NAME SIZE BLOCKS DIGEST": its size, its allocated 512-byte blocks, and a digest of its contents that does not depend on where it has holes (its pages that
are not all zeros, with their offsets). Only data regions are read, so terabytes of holes cost
nothing; a hole and the zeros a reader wrote in its place give the same digest."""

import hashlib
import os
import stat
import sys

PAGE = 4096


def digest(fd, size):
    h = hashlib.sha256()
    offset, next_page = 0, 0  # every page below next_page has been looked at
    while offset < size:
        try:
            start = os.lseek(fd, offset, os.SEEK_DATA)
        except OSError:  # ENXIO: nothing but a hole follows
            break
        end = min(os.lseek(fd, start, os.SEEK_HOLE), size)
        page = max(start - start % PAGE, next_page)
        while page < end:
            chunk = os.pread(fd, PAGE, page)
            if chunk.count(0) != len(chunk):
                h.update(b"%d:" % page + chunk)
            page += PAGE
        offset, next_page = end, page
    return h.hexdigest()


def main(directories):
    for directory in directories:
        print(directory + ":")
        for name in sorted(os.listdir(directory)):
            fd = os.open(os.path.join(directory, name), os.O_RDONLY | os.O_NOFOLLOW)
            try:
                st = os.fstat(fd)
                if stat.S_ISREG(st.st_mode):
                    print(name, st.st_size, st.st_blocks, digest(fd, st.st_size))
            finally:
                os.close(fd)


if __name__ == "__main__":
    main(sys.argv[1:])
