-- The sandbox instance PROD of the fake (simulated) database: a database tier on ebsdb01 and
-- an application tier on ebsapp01 (admin, web and batch) and ebsapp02 (web and batch), each
-- application node with the context files of both file editions, fs1 and fs2, as in a 12.2
-- instance. The TEMPLATE and METADATA rows stand for the table's non-instance rows, which the
-- export leaves out. Run from this directory (setup-home.sh does): readfile() reads relative
-- paths.
INSERT INTO fnd_oam_context_files
  (NAME, VERSION, PATH, LAST_SYNCHRONIZED, TEXT, CREATION_DATE, NODE_NAME, STATUS, CTX_TYPE)
VALUES
  ('PROD_ebsdb01', '120.85.12020000.31', '/u01/PROD/19.0.0/appsutil/PROD_ebsdb01.xml',
   '2024-03-11 02:14:09', CAST(readfile('PROD_ebsdb01.xml') AS TEXT), '2023-06-02 10:41:55',
   'ebsdb01', 'S', 'D'),
  ('TEMPLATE', '120.131.12020000.58', '/u01/PROD/fs1/EBSapps/appl/ad/12.0.0/admin/template/adxmlctx.tmp',
   '2023-06-02 10:40:12', '<?xml version = ''1.0''?><oa_context version="template"/>',
   '2023-06-02 10:40:12', NULL, 'S', 'A'),
  ('PROD_ebsapp01', '120.131.12020000.58',
   '/u01/PROD/fs1/inst/apps/PROD_ebsapp01/appl/admin/PROD_ebsapp01.xml', '2024-03-11 02:20:31',
   CAST(readfile('PROD_ebsapp01_fs1.xml') AS TEXT), '2023-06-02 11:05:17', 'ebsapp01', 'S', 'A'),
  ('PROD_ebsapp02', '120.131.12020000.58',
   '/u01/PROD/fs1/inst/apps/PROD_ebsapp02/appl/admin/PROD_ebsapp02.xml', '2024-03-11 02:26:48',
   CAST(readfile('PROD_ebsapp02_fs1.xml') AS TEXT), '2023-06-02 11:32:40', 'ebsapp02', 'S', 'A'),
  ('PROD_ebsapp01', '120.131.12020000.58',
   '/u01/PROD/fs2/inst/apps/PROD_ebsapp01/appl/admin/PROD_ebsapp01.xml', '2024-03-11 02:21:02',
   CAST(readfile('PROD_ebsapp01_fs2.xml') AS TEXT), '2023-06-02 12:10:03', 'ebsapp01', 'S', 'A'),
  ('PROD_ebsapp02', '120.131.12020000.58',
   '/u01/PROD/fs2/inst/apps/PROD_ebsapp02/appl/admin/PROD_ebsapp02.xml', '2024-03-11 02:27:15',
   CAST(readfile('PROD_ebsapp02_fs2.xml') AS TEXT), '2023-06-02 12:36:22', 'ebsapp02', 'S', 'A'),
  ('METADATA', '120.2', NULL, '2023-06-02 10:40:12', '<metadata/>', '2023-06-02 10:40:12', NULL,
   'S', 'A');
