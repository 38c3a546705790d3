#!/usr/bin/env python3
"""Writes samples/demo/shop.csv: a data package in the shape Taobao Assistant 5.x exports
(UTF-16LE with its byte-order mark, a "version 1.00" line, the English and the Chinese header
lines, rows ending in LF), whose image addresses name the images of samples/demo/images/.

The addresses use two hosts: img.alicdn.com (the marketplace's image space) and
img.sample-shop.test (a third-party album). The demo routes both to its local image server with
vedo-cli's --connect-to, so nothing leaves the machine."""
import os

ENGLISH = ("title cid seller_cids stuff_status location_state location_city item_type price auction_increment num "
           "valid_thru freight_payer post_fee ems_fee express_fee has_invoice has_warranty approve_status "
           "has_showcase list_time description cateProps postage_id has_discount modified upload_fail_msg "
           "picture_status auction_point picture video skuProps inputPids inputValues outer_id propAlias "
           "auto_fill num_id local_cid navigation_type user_name syncStatus is_lighting_consigment is_xinpin "
           "foodparame features buyareatype global_stock_type global_stock_country sub_stock_type item_size "
           "item_weight sell_promise custom_design_flag wireless_desc barcode sku_barcode newprepay subtitle "
           "cpv_memo input_custom_cpv qualification add_qualification o2o_bind_service tmall_extend "
           "product_combine tmall_item_prop_combine taoschema_extend").split()
CHINESE = ("宝贝名称 宝贝类目 店铺类目 新旧程度 省 城市 出售方式 宝贝价格 加价幅度 宝贝数量 有效期 运费承担 平邮 EMS 快递 "
           "发票 保修 放入仓库 橱窗推荐 开始时间 宝贝描述 宝贝属性 邮费模版ID 会员打折 修改时间 上传状态 图片状态 返点比例 "
           "新图片 视频 销售属性组合 用户输入ID串 用户输入名-值对 商家编码 销售属性别名 代充类型 数字ID 本地ID 宝贝分类 "
           "用户名称 宝贝状态 闪电发货 新品 食品专项 尺码库 采购地 库存类型 国家地区 库存计数 物流体积 物流重量 "
           "退换货承诺 定制工具 无线详情 商品条形码 sku_条形码 7天退货 宝贝卖点 属性值备注 自定义属性值 商品资质 "
           "增加商品资质 关联线下服务 tmall扩展字段 产品组合 tmall属性组合 taoschema扩展字段").split()
CHINESE = [c.replace("sku_条形码", "sku 条形码") for c in CHINESE]
assert len(ENGLISH) == len(CHINESE) == 67

IMAGE_SPACE = "http://img.alicdn.com/imgextra/demo/"
THIRD_PARTY = "http://img.sample-shop.test/album/"
NAMES = ["纯棉短袖T恤", "雪纺连衣裙", "牛仔短裤", "针织开衫", "运动卫衣", "亚麻衬衫", "羊毛围巾", "帆布鞋",
         "真丝睡衣", "防晒外套"]
IMAGES = ["p%d.%s" % (i, {0: "jpg", 1: "png", 2: "gif"}[i % 3]) for i in range(1, 21)]


def quoted(text):
    return '"' + text.replace('"', '""') + '"'


def row(n):
    title = "%s %02d号 夏季新款" % (NAMES[n % len(NAMES)], n + 1)
    picks = [IMAGES[(n * 3 + k) % len(IMAGES)] for k in range(3)]
    desc = "<p>%s：面料舒适，做工精细。</p>" % title
    for k, name in enumerate(picks):
        host = IMAGE_SPACE if k != 1 else THIRD_PARTY
        desc += '<p><img align="absmiddle" src="%s%s" /></p>' % (host, name)
    desc += '<div style="background:url(%s%s)">尺码表</div>' % (THIRD_PARTY, IMAGES[(n + 7) % len(IMAGES)])
    if n % 9 == 4:
        desc += '<img src="%smissing-%d.jpg">' % (THIRD_PARTY, n)  # answered 404
    if n == 13:
        desc += '<img src="%snotanimage.webp">' % IMAGE_SPACE  # not an image format the shop takes
    mobile = "<wapDesc><txt>%s</txt>" % title
    for name in (IMAGES[(n * 5) % len(IMAGES)], IMAGES[(n * 5 + 2) % len(IMAGES)]):
        mobile += "<img>%s%s</img>" % (IMAGE_SPACE, name)
    mobile += "</wapDesc>"
    fields = {"title": quoted(title), "cid": "50000436", "description": quoted(desc),
              "wireless_desc": quoted(mobile), "price": "%d" % (59 + n * 10), "num": "100",
              "subtitle": quoted("包邮 %d号" % (n + 1)), "outer_id": quoted("DEMO-%03d" % (n + 1))}
    return "\t".join(fields.get(name, '""') for name in ENGLISH)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "samples", "demo", "shop.csv")
    lines = ["version 1.00", "\t".join(ENGLISH), "\t".join(CHINESE)] + [row(n) for n in range(30)]
    text = "\n".join(lines) + "\n"
    with open(out, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


if __name__ == "__main__":
    main()
