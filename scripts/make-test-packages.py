#!/usr/bin/env python3
"""Writes the data packages that the project bundles: the Taobao Assistant 5.x shaped package of
the reader's tests (tests/data/), the sample shop that `vedo-cli inspect` is tried on (samples/),
and the seed corpus of the reader's fuzz target (fuzz/corpus/reader/).

Every package is UTF-16LE with its byte-order mark, as Taobao Assistant writes it. The output is
deterministic: run it again after changing it and commit the files it writes.

    scripts/make-test-packages.py
"""
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The 67 columns of a Taobao Assistant 5.x export: English names, then the Chinese header line.
COLUMNS = [
    ("title", "宝贝名称"), ("cid", "宝贝类目"), ("seller_cids", "店铺类目"), ("stuff_status", "新旧程度"),
    ("location_state", "省"), ("location_city", "城市"), ("item_type", "出售方式"), ("price", "宝贝价格"),
    ("auction_increment", "加价幅度"), ("num", "宝贝数量"), ("valid_thru", "有效期"),
    ("freight_payer", "运费承担"), ("post_fee", "平邮"), ("ems_fee", "EMS"), ("express_fee", "快递"),
    ("has_invoice", "发票"), ("has_warranty", "保修"), ("approve_status", "放入仓库"),
    ("has_showcase", "橱窗推荐"), ("list_time", "开始时间"), ("description", "宝贝描述"),
    ("cateProps", "宝贝属性"), ("postage_id", "邮费模版ID"), ("has_discount", "会员打折"),
    ("modified", "修改时间"), ("upload_fail_msg", "上传状态"), ("picture_status", "图片状态"),
    ("auction_point", "返点比例"), ("picture", "新图片"), ("video", "视频"), ("skuProps", "销售属性组合"),
    ("inputPids", "用户输入ID串"), ("inputValues", "用户输入名-值对"), ("outer_id", "商家编码"),
    ("propAlias", "销售属性别名"), ("auto_fill", "代充类型"), ("num_id", "数字ID"), ("local_cid", "本地ID"),
    ("navigation_type", "宝贝分类"), ("user_name", "用户名称"), ("syncStatus", "宝贝状态"),
    ("is_lighting_consigment", "闪电发货"), ("is_xinpin", "新品"), ("foodparame", "食品专项"),
    ("features", "尺码库"), ("buyareatype", "采购地"), ("global_stock_type", "库存类型"),
    ("global_stock_country", "国家地区"), ("sub_stock_type", "库存计数"), ("item_size", "物流体积"),
    ("item_weight", "物流重量"), ("sell_promise", "退换货承诺"), ("custom_design_flag", "定制工具"),
    ("wireless_desc", "无线详情"), ("barcode", "商品条形码"), ("sku_barcode", "sku 条形码"),
    ("newprepay", "7天退货"), ("subtitle", "宝贝卖点"), ("cpv_memo", "属性值备注"),
    ("input_custom_cpv", "自定义属性值"), ("qualification", "商品资质"),
    ("add_qualification", "增加商品资质"), ("o2o_bind_service", "关联线下服务"),
    ("tmall_extend", "tmall扩展字段"), ("product_combine", "产品组合"),
    ("tmall_item_prop_combine", "tmall属性组合"), ("taoschema_extend", "taoschema扩展字段"),
]
assert len(COLUMNS) == 67

# Columns that Taobao Assistant writes as quoted text; the others are bare numbers.
QUOTED = {
    "title", "seller_cids", "location_state", "location_city", "post_fee", "ems_fee", "express_fee",
    "list_time", "description", "cateProps", "modified", "upload_fail_msg", "picture_status", "picture",
    "video", "skuProps", "inputPids", "inputValues", "outer_id", "propAlias", "user_name", "features",
    "buyareatype", "global_stock_type", "global_stock_country", "sub_stock_type", "item_size",
    "item_weight", "sell_promise", "custom_design_flag", "wireless_desc", "barcode", "sku_barcode",
    "subtitle", "cpv_memo", "input_custom_cpv", "qualification", "add_qualification",
    "o2o_bind_service", "tmall_extend", "product_combine", "tmall_item_prop_combine", "taoschema_extend",
}


def quote(text):
    return '"' + text.replace('"', '""') + '"'


def row_5x(fields):
    """One data row from a dict of the fields that matter; everything else gets a plain value."""
    out = []
    for english, _ in COLUMNS:
        if english in fields:
            value = fields[english]
        elif english in QUOTED:
            value = ""
        else:
            value = "0"
        out.append(quote(value) if english in QUOTED else value)
    return "\t".join(out)


def package_5x(rows, line_end):
    header_en = "\t".join(e for e, _ in COLUMNS)
    header_zh = "\t".join(z for _, z in COLUMNS)
    body = "".join(row_5x(r) + line_end for r in rows)
    return "version 1.00" + line_end + header_en + line_end + header_zh + line_end + body


def utf16(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


def write(relative, data):
    path = os.path.join(ROOT, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print(f"{relative}: {len(data)} bytes")


def img(address):
    return f'<img align="absmiddle" src="{address}">'


def wap(addresses, text):
    return "<wapDesc>" + "".join(f"<img>{a}</img>" for a in addresses) + f"<txt>{text}</txt></wapDesc>"


# --- tests/data/taobao-assistant-5x.csv -------------------------------------------------------
# Three items; rows end with LF alone. Item 0 has no images at all, item 1 has 6 description and
# 3 mobile addresses (one of them also in the description, one description address twice, one
# https address that is never collected), item 2 a multi-line description with a TAB inside.
ALI = "http://img.alicdn.com/imgextra/i{}/2200{:04d}/O1CN01item{:02d}_!!2200{:04d}.jpg"


def ali(n):
    return ALI.format(1 + n % 4, n, n, n)


five_x_rows = [
    {"title": "纯棉短袖T恤 男款", "description": "<p>纯棉面料，舒适透气</p>", "price": "59.00",
     "wireless_desc": "", "subtitle": "夏季新款"},
    {"title": '不锈钢保温杯 500ml "商务款"',
     "description": "<p>" + "".join(img(ali(n)) for n in range(1, 5)) + "</p>"
                    + img(ali(2))
                    + '<p style="background:url(' + ali(5) + ')">双层真空</p>'
                    + '<table background="' + ali(6) + '"><tr><td>规格</td></tr></table>'
                    + img("https://img.alicdn.com/imgextra/i1/secure.jpg"),
     "price": "89.00",
     "wireless_desc": wap([ali(1), ali(7), ali(8)], "双层真空保温"),
     "subtitle": "保温12小时"},
    {"title": "手工陶瓷茶杯",
     "description": "<p>手工拉坯\r\n釉下彩\t不含铅</p>\r\n" + img(ali(9)),
     "price": "35.50",
     "wireless_desc": wap([ali(9)], "手工拉坯"),
     "subtitle": "景德镇\t手工"},
]

# --- samples/sample-shop.csv ------------------------------------------------------------------
# A small shop in the same shape with CR LF rows: marketplace and third-party hosts, every kind of
# image markup the reader knows, the WebP suffix, an excluded host and the blank placeholder.
SHOP = "http://img.vantiro-demo.example/shop/{}.jpg"

sample_rows = [
    {"title": "北欧风陶瓷马克杯 大容量",
     "description": "<p>" + img(ali(11)) + img(ali(12)) + img(SHOP.format("mug-detail")) + "</p>"
                    + "<p>容量 450ml，可进微波炉</p>",
     "price": "39.00",
     "wireless_desc": wap([ali(11), SHOP.format("mug-mobile")], "北欧风马克杯"),
     "subtitle": "买二送一"},
    {"title": "竹制砧板 三件套",
     "description": "<div style=\"background:url('" + ali(13) + "')\">"
                    + "<img src='" + ali(14) + "_.webp'>"
                    + "<img src=" + SHOP.format("board-size") + " width=750>"
                    + "</div><img src=\"http://img01.taobao.com/bao/uploaded/i1/ignored.jpg\">",
     "price": "128.00",
     "wireless_desc": wap([ali(13), ali(14)], "整竹压制"),
     "subtitle": "整竹\t无拼接"},
    {"title": "亚麻桌布 \"田园\"格子",
     "description": '<table background="' + SHOP.format("cloth-bg") + '"><tr><td>'
                    + img(ali(15)) + img("http://img.alicdn.com/imgextra/i1/T1_blank1.jpg")
                    + "</td></tr></table>",
     "price": "66.00",
     "wireless_desc": wap([ali(15)], "棉麻混纺"),
     "subtitle": ""},
    {"title": "香薰蜡烛礼盒",
     "description": "<p>大豆蜡，燃烧约 40 小时</p>\r\n<p>" + img(ali(16)) + "</p>",
     "price": "88.00",
     "wireless_desc": "",
     "subtitle": "送礼佳品"},
]


def small_package(header, rows, line_end="\r\n", preamble="version 1.00\r\n"):
    return preamble + "\t".join(header) + line_end + "".join("\t".join(r) + line_end for r in rows)


def seeds():
    """Small packages for the fuzz target's seed corpus, each a few hundred bytes."""
    header = ["宝贝名称", "宝贝价格", "宝贝描述", "无线详情", "宝贝卖点", "商家编码"]
    rows = [
        [quote("保温杯"), "89", quote(img("http://img.alicdn.com/a.jpg") + "<p style='background:url(\"http://x.example/b.png\")'>"),
         quote(wap(["http://img.alicdn.com/a.jpg"], "杯")), quote("卖点\t一"), quote("A1")],
        [quote('茶杯 "礼盒"'), "35", quote("<IMG SRC=\"HTTP://img.example/c.jpg\"><td background=http://y.example/d.gif>"),
         quote(""), quote(""), quote("A2")],
    ]
    yield "crlf", utf16(small_package(header, rows))
    yield "lf", utf16(small_package(header, rows, "\n", "version 1.00\ntitle\tprice\tdescription\twireless_desc\tsubtitle\touter_id\n"))
    yield "lone-cr-end", utf16(small_package(header, rows) + "\r")
    yield "no-mobile", utf16(small_package(["宝贝名称", "宝贝描述", "宝贝卖点"],
                                           [[quote("桌布"), quote(img("http://img.alicdn.com/e.jpg_.webp")), quote("x")]]))
    yield "utf8-mark", b"\xef\xbb\xbf" + utf16(small_package(header, rows[:1]))
    yield "header-only", utf16("version 1.00\r\n" + "\t".join(header) + "\r\n")
    yield "emoji-title", utf16(small_package(["宝贝名称", "宝贝描述", "宝贝价格"],
                                             [[quote("杯子😀𠀀"), quote(img("http://img.alicdn.com/f.jpg")), "9"]]))
    yield "5x", utf16(package_5x(five_x_rows[:2], "\n"))


def main():
    write("tests/data/taobao-assistant-5x.csv", utf16(package_5x(five_x_rows, "\n")))
    write("samples/sample-shop.csv", utf16(package_5x(sample_rows, "\r\n")))
    for name, data in seeds():
        write(f"fuzz/corpus/reader/{name}.csv", data)


if __name__ == "__main__":
    main()
