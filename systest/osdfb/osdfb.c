// SPDX-License-Identifier: GPL-2.0
/*
 * Stand-in for the board's overlay display driver: a framebuffer over the
 * memory its device-tree node gives (reg, width, height, stride and format,
 * as a simple-framebuffer node has them) that also answers the driver's own
 * OSD start request. The kernel's generic framebuffer refuses that request,
 * and the updater then draws nothing.
 *
 * Like the board's driver, it takes the request only with the address at
 * which the caller mapped this framebuffer. Every request answered is counted
 * in the read-only parameter osd_starts, for the test board to report.
 */
#include <linux/build_bug.h>
#include <linux/fb.h>
#include <linux/io.h>
#include <linux/ioctl.h>
#include <linux/major.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/of.h>
#include <linux/platform_device.h>

#include "board/names.h"

static_assert(FB_OSD_START == _IO('F', 0xC9), "the OSD start request is _IO('F', 0xC9)");

static unsigned int osd_starts;
module_param(osd_starts, uint, 0444);
MODULE_PARM_DESC(osd_starts, "OSD start requests answered");

/* The two panels of the test board: RGB565 and x8r8g8b8. */
static const struct osdfb_format {
	const char *name;
	u32 bits;
	struct fb_bitfield red, green, blue;
} osdfb_formats[] = {
	{ "r5g6b5", 16, { 11, 5 }, { 5, 6 }, { 0, 5 } },
	{ "x8r8g8b8", 32, { 16, 8 }, { 8, 8 }, { 0, 8 } },
};

/* Whether addr is where the calling process mapped this framebuffer. */
static bool osdfb_own_mapping(struct fb_info *info, unsigned long addr)
{
	struct mm_struct *mm = current->mm;
	struct vm_area_struct *vma;
	struct inode *inode;
	bool own = false;

	mmap_read_lock(mm);
	vma = vma_lookup(mm, addr);
	if (vma && vma->vm_start == addr && vma->vm_file) {
		inode = file_inode(vma->vm_file);
		own = S_ISCHR(inode->i_mode) && imajor(inode) == FB_MAJOR && iminor(inode) == info->node;
	}
	mmap_read_unlock(mm);
	return own;
}

static int osdfb_ioctl(struct fb_info *info, unsigned int cmd, unsigned long arg)
{
	if (cmd != FB_OSD_START)
		return -ENOTTY;
	if (!osdfb_own_mapping(info, arg))
		return -EINVAL;
	WRITE_ONCE(osd_starts, osd_starts + 1);
	return 0;
}

/* The console's sixteen colours, should fbcon ever be mapped here. */
static int osdfb_setcolreg(u_int regno, u_int red, u_int green, u_int blue, u_int transp,
			   struct fb_info *info)
{
	u32 *palette = info->pseudo_palette;

	if (regno >= 16)
		return -EINVAL;
	palette[regno] = (red >> (16 - info->var.red.length)) << info->var.red.offset |
			 (green >> (16 - info->var.green.length)) << info->var.green.offset |
			 (blue >> (16 - info->var.blue.length)) << info->var.blue.offset;
	return 0;
}

/* Freed when the last user closes it, which may be after the device went. */
static void osdfb_destroy(struct fb_info *info)
{
	framebuffer_release(info);
}

static const struct fb_ops osdfb_ops = {
	.owner = THIS_MODULE,
	.fb_destroy = osdfb_destroy,
	.fb_setcolreg = osdfb_setcolreg,
	.fb_ioctl = osdfb_ioctl,
	.fb_fillrect = cfb_fillrect,
	.fb_copyarea = cfb_copyarea,
	.fb_imageblit = cfb_imageblit,
};

static const struct osdfb_format *osdfb_format_named(const char *name)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(osdfb_formats); i++)
		if (!strcmp(name, osdfb_formats[i].name))
			return &osdfb_formats[i];
	return NULL;
}

static void osdfb_describe(struct fb_info *info, const struct resource *mem, u32 width, u32 height,
			   u32 stride, const struct osdfb_format *fmt)
{
	strscpy(info->fix.id, "osdfb", sizeof(info->fix.id));
	info->fix.type = FB_TYPE_PACKED_PIXELS;
	info->fix.visual = FB_VISUAL_TRUECOLOR;
	info->fix.accel = FB_ACCEL_NONE;
	info->fix.smem_start = mem->start;
	info->fix.smem_len = resource_size(mem);
	info->fix.line_length = stride;
	info->var.xres = info->var.xres_virtual = width;
	info->var.yres = info->var.yres_virtual = height;
	info->var.bits_per_pixel = fmt->bits;
	info->var.red = fmt->red;
	info->var.green = fmt->green;
	info->var.blue = fmt->blue;
	info->var.activate = FB_ACTIVATE_NOW;
	info->var.height = info->var.width = -1;
	info->var.vmode = FB_VMODE_NONINTERLACED;
}

static int osdfb_probe(struct platform_device *pdev)
{
	struct device *dev = &pdev->dev;
	const struct osdfb_format *fmt;
	struct resource *mem;
	struct fb_info *info;
	const char *format;
	u32 width, height, stride;
	int ret;

	if (of_property_read_u32(dev->of_node, "width", &width) ||
	    of_property_read_u32(dev->of_node, "height", &height) ||
	    of_property_read_u32(dev->of_node, "stride", &stride) ||
	    of_property_read_string(dev->of_node, "format", &format))
		return dev_err_probe(dev, -EINVAL, "needs width, height, stride and format\n");
	fmt = osdfb_format_named(format);
	if (!fmt)
		return dev_err_probe(dev, -EINVAL, "format %s is not supported\n", format);
	mem = platform_get_resource(pdev, IORESOURCE_MEM, 0);
	if (!mem || stride < width * (fmt->bits / 8) || (u64)stride * height > resource_size(mem))
		return dev_err_probe(dev, -EINVAL, "its memory does not hold %u lines of %u bytes\n", height, stride);
	if (!devm_request_mem_region(dev, mem->start, resource_size(mem), "osdfb"))
		return dev_err_probe(dev, -EBUSY, "its memory is taken\n");

	info = framebuffer_alloc(16 * sizeof(u32), dev);
	if (!info)
		return -ENOMEM;
	info->pseudo_palette = info->par;
	info->fbops = &osdfb_ops;
	osdfb_describe(info, mem, width, height, stride, fmt);
	info->screen_base = devm_ioremap_wc(dev, mem->start, resource_size(mem));
	info->screen_size = resource_size(mem);
	ret = info->screen_base ? register_framebuffer(info) : -ENOMEM;
	if (ret) {
		framebuffer_release(info);
		return dev_err_probe(dev, ret, "cannot register the framebuffer\n");
	}
	platform_set_drvdata(pdev, info);
	dev_info(dev, "fb%d: %ux%u %s, stride %u, OSD start request 0x%x\n", info->node, width, height,
		 format, stride, FB_OSD_START);
	return 0;
}

static int osdfb_remove(struct platform_device *pdev)
{
	unregister_framebuffer(platform_get_drvdata(pdev));
	return 0;
}

static const struct of_device_id osdfb_of_match[] = {
	{ .compatible = "systest,osd-framebuffer" },
	{ }
};
/*
 * No MODULE_DEVICE_TABLE: the set-up loads the module by name, and Debian's
 * modpost, built for the 64-bit host, misreads a 32-bit ARM module's table.
 */

static struct platform_driver osdfb_driver = {
	.driver = {
		.name = "osdfb",
		.of_match_table = osdfb_of_match,
	},
	.probe = osdfb_probe,
	.remove = osdfb_remove,
};
module_platform_driver(osdfb_driver);

MODULE_DESCRIPTION("Stand-in for the board's overlay framebuffer with its OSD start request");
MODULE_LICENSE("GPL");
