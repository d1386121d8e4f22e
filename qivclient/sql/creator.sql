-- Creates the host/node database: configuration, hosts, nodes, gateways and the action log.
CREATE TABLE sys_configure (
  CFG_No INTEGER PRIMARY KEY AUTOINCREMENT,
  CFG_UserNo INTEGER NOT NULL DEFAULT 0,
  CFG_Key TEXT NOT NULL,
  CFG_Type TEXT NOT NULL DEFAULT 'string',
  CFG_Value TEXT,
  CFG_Stamp TEXT NOT NULL DEFAULT (datetime('now', 'localtime')),
  CFG_Description TEXT
);

CREATE TABLE t_dcshost (
  HST_No INTEGER PRIMARY KEY AUTOINCREMENT,
  HST_Id TEXT NOT NULL,
  HST_Caption TEXT,
  HST_Address TEXT,
  HST_UdpPort INTEGER NOT NULL DEFAULT 0,
  HST_TcpPort INTEGER NOT NULL DEFAULT 0,
  HST_Services TEXT,
  HST_LastTime TEXT,
  HST_Remark TEXT,
  HST_Account TEXT,
  HST_Password TEXT
);

CREATE TABLE t_dcsnode (
  NOD_No INTEGER PRIMARY KEY AUTOINCREMENT,
  NOD_Id TEXT NOT NULL,
  NOD_Caption TEXT,
  NOD_Address TEXT,
  NOD_UdpPort INTEGER NOT NULL DEFAULT 0,
  NOD_TcpPort INTEGER NOT NULL DEFAULT 0,
  NOD_Services TEXT,
  NOD_LastTime TEXT,
  NOD_Remark TEXT,
  NOD_Account TEXT,
  NOD_Password TEXT,
  NOD_State INTEGER NOT NULL DEFAULT 0,
  NOD_Ready INTEGER NOT NULL DEFAULT 0,
  NOD_Attached INTEGER NOT NULL DEFAULT 0,
  NOD_HostId TEXT
);

CREATE TABLE t_dcsgate (
  GAT_No INTEGER PRIMARY KEY AUTOINCREMENT,
  GAT_Address TEXT NOT NULL,
  GAT_Caption TEXT,
  GAT_Port INTEGER NOT NULL DEFAULT 0,
  GAT_Onlined INTEGER NOT NULL DEFAULT 0,
  GAT_LastTime TEXT,
  GAT_Remark TEXT
);

CREATE TABLE t_log (
  LOG_No INTEGER PRIMARY KEY AUTOINCREMENT,
  LOG_Time TEXT NOT NULL DEFAULT (datetime('now', 'localtime')),
  LOG_Action TEXT,
  LOG_Object TEXT,
  LOG_Message TEXT
);

CREATE UNIQUE INDEX idx_dcshost_id ON t_dcshost (HST_Id);
CREATE UNIQUE INDEX idx_dcsgate_address ON t_dcsgate (GAT_Address);

INSERT INTO sys_configure (CFG_Key, CFG_Value) VALUES ('System.Id', 'R4HOSTNODE');
INSERT INTO sys_configure (CFG_Key, CFG_Value) VALUES ('System.Version', '1');
INSERT INTO sys_configure (CFG_Key, CFG_Value) VALUES ('Database.Id', 'R4HOSTNODE');
INSERT INTO sys_configure (CFG_Key, CFG_Value) VALUES ('Database.Version', '1');
INSERT INTO sys_configure (CFG_Key, CFG_Value) VALUES ('Database.First.Date', datetime('now', 'localtime'));
