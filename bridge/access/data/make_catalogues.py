#!/usr/bin/env python3
"""Writes the two SPI flash catalogues compiled into the library from a tab-separated part list.

    make_catalogues.py PARTS.tsv [OUTPUT_DIR]

PARTS.tsv has a header line with the columns vendor, part, rdid1-3, rems1-2, page_size,
sector_size_kib, sector_erase_opcode, chip_erase_opcode, page_program_opcode, read_opcode,
rdsr_opcode, wren_opcode, ewsr_opcode, wrsr_opcode, size_kib, status_bit7-0, notes (further columns
are ignored). Output, CSV with CR LF line ends and no quoting:

    flash_identification.csv  what a part answers to RDID (9Fh) and REMS (90h), status-register bits
    flash_operations.csv      geometry and the ten opcodes, same parts in the same order

The CSV files are committed; run this again only when the part list changes.
"""

import csv
import os
import sys

# Vendor names as the catalogues spell them; makers not listed here form the trailing group without
# a vendor name.
VENDOR_NAMES = {
    "EON": "EON",
    "ST/Micron": "ST",
    "MXIC": "MXIC",
    "ATMEL": "ATMEL",
    "PMC": "PMC",
    "WINBOND": "WINBOND",
    "SST": "SST",
    "GigaDevice": "Gigadevice",
    "AMIC": "AMIC",
}

# Further opcodes a part accepts for the same operation, taken from the notes of the part list. The
# first opcode of a cell is the one the library uses.
ALTERNATIVES = {
    ("MX25L1605", "sector_erase_opcode"): ["20"],   # 20h and D8h both erase 64 KiB
    ("MX25L3205", "sector_erase_opcode"): ["20"],
    ("MX25L6405", "sector_erase_opcode"): ["20"],
    ("Pm25LV080B", "sector_erase_opcode"): ["D7"],  # D7h or 20h erase 4 KiB
    ("Pm25LV016B", "sector_erase_opcode"): ["D7"],
    ("Pm25LD020", "sector_erase_opcode"): ["D7"],
    ("AT25FS010", "sector_erase_opcode"): ["D7"],   # D7h also erases 4 KiB
    ("AT25F512B", "chip_erase_opcode"): ["62"],     # legacy chip erase
    ("SST25LF080A", "ewsr_opcode"): ["06"],         # EWSR or WREN accepted
    ("SST25VF016B", "ewsr_opcode"): ["06"],
}

# Names of the status-register bits used in the identification rows.
STATUS_LEGEND = [
    ("SRWD", "Status Register Write Protect"),
    ("SRP/SRP0", "Status Register Protect"),
    ("WEL", "Write Enable Latch Bit"),
    ("WIP", "Write In Progress Bit"),
    ("BUSY/BSY", "Erase or Write In Progress Bit"),
    ("BP0-BP4", "Block Protect Bits"),
    ("TB", "Top/Bottom Block Protect"),
    ("SEC", "Sector/Block Protect"),
    ("QE", "Quad Enable"),
    ("BPL", "Block Protection Lock-Down"),
    ("AAI", "Auto Address Increment Programming Status"),
    ("CP", "Continuously Program Mode"),
    ("ERR", "Program or Erase Error"),
    ("EPE", "Erase/Program Error"),
    ("SPRL", "Sector Protection Registers Locked"),
    ("SWP0/SWP1", "Software Protection Status"),
    ("WPP", "Write Protect Pin Status"),
    ("SPM", "Sequential Program Mode Status"),
    ("WPEN", "Write Protect Enable"),
    ("WPDIS", "WP# Pin Disable"),
]

IDENT_TITLE = "SPI Serial Flash"
IDENT_GROUPS = ",,Read Identification,,,,Read Manufacturer ID and Device ID,,,Status Register Format,,,,,,,"
IDENT_COLUMNS = ("Vendor,Name,1st byte,2nd byte,3th byte,4th byte,1st byte,2nd byte,3th byte,"
                 "Bit7,Bit6,Bit5,Bit4,Bit3,Bit2,Bit1,Bit0")
OPS_GROUPS = ",,,,,Instruction Set,,,,,,,,,,"
OPS_COLUMNS = ("Vendor,Name,Clock Frequency,Page Size,Sector Size,RDID,REMS,READ,RDSR,WREN,PAGE_ PROG,"
               "SECTOR_ERASE,CHIP_ERASE,EWSR,WRSR,Comment")
REQUIRED_PARTS = ("W25X40", "GD25Q16", "EN25P20")


def hex_cell(value):
    """ "EF" -> "EFh"; empty stays empty."""
    value = value.strip()
    if not value:
        return ""
    int(value, 16)  # refuse anything that is not a hexadecimal byte
    if len(value) > 2:
        raise ValueError(f"not a byte: {value!r}")
    return value.upper() + "h"


def opcode_cell(part, row, column):
    return "/".join(hex_cell(v) for v in [row[column]] + ALTERNATIVES.get((part, column), []))


def check_cells(cells, count, where):
    if len(cells) != count:
        raise ValueError(f"{where}: {len(cells)} cells instead of {count}")
    for c in cells:
        if "," in c or "\r" in c or "\n" in c:
            raise ValueError(f"{where}: cell {c!r} cannot be written without quoting")
    return ",".join(cells)


def vendor_groups(rows):
    groups = []
    for row in rows:
        vendor = VENDOR_NAMES.get(row["vendor"], "")
        if not groups or groups[-1][0] != vendor:
            groups.append((vendor, []))
        groups[-1][1].append(row)
    names = [g[0] for g in groups]
    if len(set(names)) != len(names):
        raise ValueError("the parts of one vendor are not listed together")
    return groups


def identification_lines(groups):
    lines = [IDENT_TITLE, IDENT_GROUPS, IDENT_COLUMNS]
    for index, (vendor, rows) in enumerate(groups):
        if index:
            lines.append("," * 16)
        for n, row in enumerate(rows):
            part = row["part"]
            cells = [vendor if n == 0 else "", part,
                     hex_cell(row["rdid1"]), hex_cell(row["rdid2"]), hex_cell(row["rdid3"]), "",
                     hex_cell(row["rems1"]), hex_cell(row["rems2"]), ""]
            cells += [row[f"status_bit{b}"].strip() for b in range(7, -1, -1)]
            lines.append(check_cells(cells, 17, part))
    for name, meaning in STATUS_LEGEND:
        lines.append(check_cells([name, meaning], 2, name))
    return lines


def rems_opcode(row):
    if row["rems1"].strip():
        return "90h"
    if row["rems2"].strip():
        return "ABh"  # the part only gives its signature to the RES command
    return "90h/ABh"


def operation_lines(groups):
    lines = [IDENT_TITLE, OPS_GROUPS, OPS_COLUMNS]
    for index, (vendor, rows) in enumerate(groups):
        if index:
            lines.append("," * 15)
        for n, row in enumerate(rows):
            part = row["part"]
            page = int(row["page_size"])
            sector = int(row["sector_size_kib"])
            has_rdid = any(row[f"rdid{i}"].strip() for i in (1, 2, 3))
            cells = [vendor if n == 0 else "", part, "",
                     f"{page} byte" + ("s" if page != 1 else ""), f"{sector}-Kbyte",
                     "9Fh" if has_rdid else "/", rems_opcode(row),
                     opcode_cell(part, row, "read_opcode"),
                     opcode_cell(part, row, "rdsr_opcode"),
                     opcode_cell(part, row, "wren_opcode"),
                     opcode_cell(part, row, "page_program_opcode"),
                     opcode_cell(part, row, "sector_erase_opcode"),
                     opcode_cell(part, row, "chip_erase_opcode"),
                     opcode_cell(part, row, "ewsr_opcode"),
                     opcode_cell(part, row, "wrsr_opcode"),
                     f"{int(row['size_kib'])} KiB"]
            lines.append(check_cells(cells, 16, part))
    return lines


def write_csv(path, lines):
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("ascii"))


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    out_dir = argv[2] if len(argv) == 3 else os.path.dirname(os.path.abspath(__file__))
    with open(argv[1], newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    names = [r["part"] for r in rows]
    if len(set(names)) != len(names):
        raise ValueError("part names must be unique: they join the two catalogues")
    for part in REQUIRED_PARTS:
        if part not in names:
            raise ValueError(f"{part} is missing")
    unknown = {(p, c) for p, c in ALTERNATIVES} - {(n, c) for n in names for c in rows[0]}
    if unknown:
        raise ValueError(f"alternatives for unknown parts: {sorted(unknown)}")
    groups = vendor_groups(rows)
    write_csv(os.path.join(out_dir, "flash_identification.csv"), identification_lines(groups))
    write_csv(os.path.join(out_dir, "flash_operations.csv"), operation_lines(groups))
    print(f"{len(rows)} parts in {len(groups)} vendor groups written to {out_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
