"""Reading a 100,000-row recipient list, as CSV (UTF-8 with its mark, and
Shift_JIS) and as an Excel workbook, against the goals: at most 2 s for the
CSV, 4 s for the workbook, 300 MB of memory. The workbook is read as Excel
saves it (xlsx: a shared string table) and as openpyxl does (xlsx-inline:
every text inline, as numeric character references, twice the XML).

    /usr/bin/python3 bench/lists.py BUILD_DIR [--rows N] [--rounds N]

The lists are made once in a temporary folder (five columns of Japanese
text; the workbook with openpyxl) and each is read --rounds times; the
figures are the medians of the wall time and the peak resident size of the
list_table program, with its processor time (on a loaded machine the wall
time says more about the neighbours).
"""
import argparse
import csv
import os
import shutil
import random
import statistics
import subprocess
import tempfile

GOALS = {"csv-utf8": 2.0, "csv-cp932": 2.0, "xlsx": 4.0, "xlsx-inline": 4.0}
MEMORY_GOAL_MB = 300
HERE = os.path.dirname(os.path.abspath(__file__))

FAMILY = "山田 佐藤 鈴木 高橋 田中 伊藤 渡辺 中村 小林 加藤 吉田 山本 松本 井上 木村 林 斎藤 清水".split()
GIVEN = "太郎 花子 一郎 美咲 健太 陽子 翔 由美 大輔 恵 直樹 真由美 浩 彩 拓也 優子".split()
COMPANY = "東西商事 北光電機 みどり食品 青空運輸 富士見建設 さくら不動産 日の出印刷 若葉製薬".split()
KIND = ["株式会社", "有限会社", "合同会社"]
DEPARTMENT = ["営業部", "総務部", "経理部", "開発部 第二課", "人事部", "購買部", ""]


def make_rows(count):
    rnd = random.Random(21)
    header = ["メールアドレス", "氏名", "会社名", "部署", "敬称"]
    rows = []
    for i in range(count):
        company = rnd.choice(KIND) + rnd.choice(COMPANY) + ("" if i % 3 else " %s支店" % rnd.choice(FAMILY))
        person = i % 10 != 0
        rows.append([
            "user%06d@example.jp" % i,
            "%s %s" % (rnd.choice(FAMILY), rnd.choice(GIVEN)) if person else "",
            company,
            rnd.choice(DEPARTMENT),
            "様" if person else "御中",
        ])
    return header, rows


def write_lists(folder, count):
    header, rows = make_rows(count)
    files = {}
    for name, encoding in (("csv-utf8", "utf-8-sig"), ("csv-cp932", "cp932")):
        path = os.path.join(folder, name + ".csv")
        with open(path, "w", encoding=encoding, newline="") as f:
            writer = csv.writer(f, lineterminator="\r\n")
            writer.writerow(header)
            writer.writerows(rows)
        files[name] = path
    import openpyxl
    book = openpyxl.Workbook(write_only=True)
    sheet = book.create_sheet("宛先")
    sheet.append(header)
    for row in rows:
        sheet.append(row)
    files["xlsx-inline"] = os.path.join(folder, "inline.xlsx")
    book.save(files["xlsx-inline"])
    files["xlsx"] = os.path.join(folder, "list.xlsx")
    shutil.copy(files["xlsx-inline"], files["xlsx"])
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "..", "tests", "engine", "share_strings.py"), files["xlsx"]],
                   check=True)
    return files


def measure(program, path):
    out = subprocess.run([program, path], check=True, capture_output=True, text=True).stdout
    results = {}
    for line in out.splitlines():
        if line.startswith("result "):
            fields = dict(kv.split("=", 1) for kv in line.split()[1:])
            results[fields["what"]] = fields
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    program = os.path.join(args.build, "bench", "list_table")
    with tempfile.TemporaryDirectory() as folder:
        files = write_lists(folder, args.rows)
        print("%d rows, 5 columns; median of %d rounds" % (args.rows, args.rounds))
        print("%-12s %8s %8s %8s %8s %8s %7s" % ("list", "file MB", "read s", "cpu s", "merge s", "peak MB", "goal s"))
        for name in sorted(files):
            runs = [measure(program, files[name]) for _ in range(args.rounds)]
            read = statistics.median(float(r["list_read"]["wall"]) for r in runs)
            cpu = statistics.median(float(r["list_read"]["cpu"]) for r in runs)
            merge = statistics.median(float(r["list_merge"]["wall"]) for r in runs)
            peak = statistics.median(int(r["list_merge"]["hwm_kib"]) for r in runs) / 1024
            verdict = "ok" if read <= GOALS[name] and peak <= MEMORY_GOAL_MB else "OVER"
            print("%-12s %8.1f %8.3f %8.3f %8.3f %8.1f %7.1f %s" % (
                name, os.path.getsize(files[name]) / 1e6, read, cpu, merge, peak, GOALS[name], verdict))


if __name__ == "__main__":
    main()
