#!/usr/bin/env python3
# Makes the benchmark package in WORK: ITEMS items with 5 distinct images each (30 to 60 KB, in
# WORK/images, served as http://img.bench.test/imgextra/iN.jpg), the package WORK/shop.csv and a
# curl config WORK/curl.cfg that fetches the same addresses into WORK/curl/.
#
#   make-bench-package.py WORK ITEMS
import os, random, sys
work, items = sys.argv[1], int(sys.argv[2])
os.makedirs(os.path.join(work, "images"), exist_ok=True)
rng = random.Random(7)
for i in range(items * 5):
    size = rng.randint(30 * 1024, 60 * 1024)
    with open(os.path.join(work, "images", "i%d.jpg" % i), "wb") as f:
        f.write(b"\xff\xd8" + os.urandom(size - 2))
header = "version 1.00\r\ntitle\tdescription\twireless_desc\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n"
rows = []
urls = []
for n in range(items):
    desc = ""
    for k in range(5):
        url = "http://img.bench.test/imgextra/i%d.jpg" % (n * 5 + k)
        urls.append(url)
        desc += '<img src=""%s"">' % url
    rows.append('"bench item %d"\t"%s"\t""\t1' % (n, desc))
text = header + "\r\n".join(rows) + "\r\n"
with open(os.path.join(work, "shop.csv"), "wb") as f:
    f.write(b"\xff\xfe" + text.encode("utf-16-le"))
with open(os.path.join(work, "curl.cfg"), "w") as f:
    for i, url in enumerate(urls):
        f.write('url = "%s"\noutput = "%s/curl/%d.jpg"\n' % (url, work, i))
