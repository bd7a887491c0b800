// SPDX-License-Identifier: GPL-2.0
/*
 * Stand-in for the board's writable UBI block driver: /dev/ubiblk0, block
 * major 94 minor 0, backed by volume 0 of ubi0. The mainline UBI block device
 * is read-only, and the board's own driver is not in Debian's kernel.
 *
 * UBI is loaded only by the updater's third command, after this module, so
 * the UBI entry points are looked up by name at the first open of the node
 * (symbol_get), and the disk is created then: the node's first open asks for
 * its major through the legacy autoload probe (CONFIG_BLOCK_LEGACY_AUTOLOAD).
 *
 * Bio-based, serialised by one mutex. A logical eraseblock can only be
 * rewritten whole and atomically (ubi_leb_change), so writes gather in a
 * one-LEB cache that is written back when a write moves to another LEB, on a
 * flush or FUA request and at the last close. LEBs (129,024 bytes here) are
 * not a multiple of the page size: segments are split at LEB edges.
 */
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/module.h>
#include <linux/mtd/ubi.h>
#include <linux/mutex.h>
#include <linux/vmalloc.h>

#define UBIBLK_MAJOR 94
#define UBIBLK_UBI 0
#define UBIBLK_VOLUME 0

/* The UBI entry points, resolved at the first open. */
static struct {
	typeof(&ubi_open_volume) open_volume;
	typeof(&ubi_get_volume_info) get_volume_info;
	typeof(&ubi_leb_read) leb_read;
	typeof(&ubi_leb_change) leb_change;
	typeof(&ubi_close_volume) close_volume;
} ubi;

static struct {
	struct mutex lock;
	struct gendisk *disk;
	struct ubi_volume_desc *volume;
	int leb_size;
	int lebs;
	int users;
	char *cache;       /* one whole LEB */
	int cache_lnum;    /* -1: the cache holds nothing */
	bool cache_dirty;
} blk;

static void put_ubi_symbols(void)
{
	if (ubi.open_volume)
		symbol_put(ubi_open_volume);
	if (ubi.get_volume_info)
		symbol_put(ubi_get_volume_info);
	if (ubi.leb_read)
		symbol_put(ubi_leb_read);
	if (ubi.leb_change)
		symbol_put(ubi_leb_change);
	if (ubi.close_volume)
		symbol_put(ubi_close_volume);
	memset(&ubi, 0, sizeof(ubi));
}

/* Takes a reference on the UBI module; false while it is not loaded. */
static bool get_ubi_symbols(void)
{
	ubi.open_volume = symbol_get(ubi_open_volume);
	ubi.get_volume_info = symbol_get(ubi_get_volume_info);
	ubi.leb_read = symbol_get(ubi_leb_read);
	ubi.leb_change = symbol_get(ubi_leb_change);
	ubi.close_volume = symbol_get(ubi_close_volume);
	if (ubi.open_volume && ubi.get_volume_info && ubi.leb_read && ubi.leb_change &&
	    ubi.close_volume)
		return true;
	put_ubi_symbols();
	return false;
}

static int cache_write_back(void)
{
	int err;

	if (blk.cache_lnum < 0 || !blk.cache_dirty)
		return 0;
	err = ubi.leb_change(blk.volume, blk.cache_lnum, blk.cache, blk.leb_size);
	if (err) {
		pr_err("ubiblk: writing LEB %d back failed: %d\n", blk.cache_lnum, err);
		return err;
	}
	blk.cache_dirty = false;
	return 0;
}

/* Makes the cache hold lnum, writing the one it held back first. */
static int cache_load(int lnum)
{
	int err;

	if (blk.cache_lnum == lnum)
		return 0;
	err = cache_write_back();
	if (err)
		return err;
	blk.cache_lnum = -1;
	/* An unmapped LEB reads as erased flash. */
	err = ubi.leb_read(blk.volume, lnum, blk.cache, 0, blk.leb_size, 0);
	if (err)
		return err;
	blk.cache_lnum = lnum;
	return 0;
}

/* One piece of a segment, inside one LEB. */
static int transfer(bool write, int lnum, int offset, char *buf, int len)
{
	int err;

	if (write) {
		err = cache_load(lnum);
		if (err)
			return err;
		memcpy(blk.cache + offset, buf, len);
		blk.cache_dirty = true;
		return 0;
	}
	if (blk.cache_lnum == lnum) {
		memcpy(buf, blk.cache + offset, len);
		return 0;
	}
	return ubi.leb_read(blk.volume, lnum, buf, offset, len, 0);
}

static int transfer_segment(bool write, loff_t pos, char *buf, unsigned int len)
{
	while (len > 0) {
		int lnum = div_s64(pos, blk.leb_size);
		int offset = pos - (loff_t)lnum * blk.leb_size;
		int piece = min_t(unsigned int, len, blk.leb_size - offset);
		int err;

		if (lnum >= blk.lebs)
			return -EIO;
		err = transfer(write, lnum, offset, buf, piece);
		if (err)
			return err;
		pos += piece;
		buf += piece;
		len -= piece;
	}
	return 0;
}

static blk_status_t handle_bio(struct bio *bio)
{
	bool write = op_is_write(bio_op(bio));
	loff_t pos = (loff_t)bio->bi_iter.bi_sector << SECTOR_SHIFT;
	struct bvec_iter iter;
	struct bio_vec bvec;
	int err = 0;

	if (bio->bi_opf & REQ_PREFLUSH)
		err = cache_write_back();
	if (bio_op(bio) == REQ_OP_FLUSH)
		return errno_to_blk_status(err);
	if (bio_op(bio) != REQ_OP_READ && bio_op(bio) != REQ_OP_WRITE)
		return BLK_STS_NOTSUPP;
	bio_for_each_segment(bvec, bio, iter) {
		char *buf;

		if (err)
			break;
		buf = bvec_kmap_local(&bvec);
		err = transfer_segment(write, pos, buf, bvec.bv_len);
		if (!write)
			flush_dcache_page(bvec.bv_page);
		kunmap_local(buf);
		pos += bvec.bv_len;
	}
	if (!err && (bio->bi_opf & REQ_FUA))
		err = cache_write_back();
	return errno_to_blk_status(err);
}

static void ubiblk_submit_bio(struct bio *bio)
{
	mutex_lock(&blk.lock);
	bio->bi_status = handle_bio(bio);
	mutex_unlock(&blk.lock);
	bio_endio(bio);
}

static int ubiblk_open(struct block_device *bdev, fmode_t mode)
{
	mutex_lock(&blk.lock);
	blk.users++;
	mutex_unlock(&blk.lock);
	return 0;
}

static void ubiblk_release(struct gendisk *disk, fmode_t mode)
{
	mutex_lock(&blk.lock);
	if (--blk.users == 0)
		cache_write_back();
	mutex_unlock(&blk.lock);
}

static const struct block_device_operations ubiblk_fops = {
	.owner = THIS_MODULE,
	.submit_bio = ubiblk_submit_bio,
	.open = ubiblk_open,
	.release = ubiblk_release,
};

static int open_volume(void)
{
	struct ubi_volume_info vi;

	blk.volume = ubi.open_volume(UBIBLK_UBI, UBIBLK_VOLUME, UBI_READWRITE);
	if (IS_ERR(blk.volume)) {
		int err = PTR_ERR(blk.volume);

		blk.volume = NULL;
		return err;
	}
	ubi.get_volume_info(blk.volume, &vi);
	blk.leb_size = vi.usable_leb_size;
	blk.lebs = vi.size;
	blk.cache = vmalloc(blk.leb_size);
	if (!blk.cache) {
		ubi.close_volume(blk.volume);
		blk.volume = NULL;
		return -ENOMEM;
	}
	blk.cache_lnum = -1;
	blk.cache_dirty = false;
	return 0;
}

static void close_volume(void)
{
	vfree(blk.cache);
	blk.cache = NULL;
	ubi.close_volume(blk.volume);
	blk.volume = NULL;
}

static int add_ubiblk_disk(void)
{
	struct gendisk *disk = blk_alloc_disk(NUMA_NO_NODE);
	int err;

	if (!disk)
		return -ENOMEM;
	disk->major = UBIBLK_MAJOR;
	disk->first_minor = 0;
	disk->minors = 1;
	disk->flags |= GENHD_FL_NO_PART;
	disk->fops = &ubiblk_fops;
	snprintf(disk->disk_name, sizeof(disk->disk_name), "ubiblk0");
	/* Flush and FUA reach the driver only when it says it caches writes. */
	blk_queue_write_cache(disk->queue, true, true);
	set_capacity(disk, ((sector_t)blk.lebs * blk.leb_size) >> SECTOR_SHIFT);
	err = add_disk(disk);
	if (err) {
		put_disk(disk);
		return err;
	}
	blk.disk = disk;
	return 0;
}

/* The first open of 94:0 while there is no disk yet. */
static void ubiblk_probe(dev_t devt)
{
	int err;

	if (MINOR(devt) != 0 || blk.disk)
		return;
	if (!get_ubi_symbols()) {
		pr_warn("ubiblk: UBI is not loaded\n");
		return;
	}
	err = open_volume();
	if (!err) {
		err = add_ubiblk_disk();
		if (err)
			close_volume();
	}
	if (err) {
		pr_warn("ubiblk: no disk on ubi%d volume %d: %d\n", UBIBLK_UBI, UBIBLK_VOLUME, err);
		put_ubi_symbols();
		return;
	}
	pr_info("ubiblk: ubiblk0 on ubi%d volume %d, %d LEBs of %d bytes\n", UBIBLK_UBI,
		UBIBLK_VOLUME, blk.lebs, blk.leb_size);
}

static int __init ubiblk_init(void)
{
	mutex_init(&blk.lock);
	return __register_blkdev(UBIBLK_MAJOR, "ubiblk", ubiblk_probe);
}

static void __exit ubiblk_exit(void)
{
	unregister_blkdev(UBIBLK_MAJOR, "ubiblk");
	if (blk.disk) {
		del_gendisk(blk.disk);
		put_disk(blk.disk);
		mutex_lock(&blk.lock);
		cache_write_back();
		mutex_unlock(&blk.lock);
		close_volume();
		put_ubi_symbols();
	}
}

module_init(ubiblk_init);
module_exit(ubiblk_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Writable block device on a UBI volume (test stand-in for the board's driver)");
