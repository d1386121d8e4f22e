-- Named statements of the host/node database. Each block: "SQL: id", the text, then "Params:" and one
-- "name type" line per parameter.

-- Hosts
SQL: dcshost_alload
SELECT HST_Id AS id, HST_Caption AS caption, HST_Address AS address, HST_UdpPort AS udpport,
       HST_TcpPort AS tcpport, HST_Services AS services, HST_LastTime AS lasttime, HST_Remark AS remark,
       HST_Account AS account
  FROM t_dcshost ORDER BY HST_Id;

SQL: dcshost_submit
UPDATE t_dcshost SET HST_Caption = @caption, HST_Address = @address, HST_UdpPort = ifnull(@udpport, HST_UdpPort),
       HST_TcpPort = ifnull(@tcpport, HST_TcpPort), HST_Services = @services, HST_Remark = @remark,
       HST_LastTime = datetime('now', 'localtime')
 WHERE HST_Id = @id;
Params:
@id string
@caption string
@address string
@udpport integer
@tcpport integer
@services string
@remark string

SQL: dcshost_append
INSERT INTO t_dcshost (HST_Id, HST_Caption, HST_Address, HST_UdpPort, HST_TcpPort, HST_Services, HST_Remark,
                       HST_LastTime)
VALUES (@id, @caption, @address, ifnull(@udpport, 0), ifnull(@tcpport, 0), @services, @remark,
        datetime('now', 'localtime'));
Params:
@id string
@caption string
@address string
@udpport integer
@tcpport integer
@services string
@remark string

SQL: dcshost_setaccount
UPDATE t_dcshost SET HST_Account = @account, HST_Password = @password WHERE HST_Id = @id;
Params:
@id string
@account string
@password string

-- Nodes
SQL: dcsnode_alload
SELECT NOD_Id AS id, NOD_Caption AS caption, NOD_Address AS address, NOD_UdpPort AS udpport,
       NOD_TcpPort AS tcpport, NOD_Services AS services, NOD_LastTime AS lasttime, NOD_Remark AS remark,
       NOD_State AS state, NOD_Ready AS ready, NOD_Attached AS attached, NOD_HostId AS hostid
  FROM t_dcsnode ORDER BY NOD_Id;

SQL: dcsnode_acquit
SELECT NOD_Id AS id, NOD_Caption AS caption, NOD_Address AS address, NOD_UdpPort AS udpport,
       NOD_TcpPort AS tcpport, NOD_Services AS services, NOD_State AS state, NOD_Ready AS ready,
       NOD_Attached AS attached, NOD_Account AS account, NOD_Password AS password
  FROM t_dcsnode WHERE NOD_Id = @id LIMIT 1;
Params:
@id string

SQL: dcsnode_append
INSERT INTO t_dcsnode (NOD_Id, NOD_Caption, NOD_Address, NOD_UdpPort, NOD_TcpPort, NOD_Services, NOD_Remark,
                       NOD_Account, NOD_Password, NOD_LastTime)
VALUES (@id, @caption, @address, ifnull(@udpport, 0), ifnull(@tcpport, 0), @services, @remark, @account, @password,
        datetime('now', 'localtime'));
Params:
@id string
@caption string
@address string
@udpport integer
@tcpport integer
@services string
@remark string
@account string
@password string

SQL: dcsnode_announce
UPDATE t_dcsnode SET NOD_Address = @address, NOD_UdpPort = ifnull(@udpport, NOD_UdpPort),
       NOD_TcpPort = ifnull(@tcpport, NOD_TcpPort), NOD_Services = @services,
       NOD_LastTime = datetime('now', 'localtime')
 WHERE NOD_Id = @id;
Params:
@id string
@address string
@udpport integer
@tcpport integer
@services string

SQL: dcsnode_change_state
UPDATE t_dcsnode SET NOD_State = ifnull(@state, 0) WHERE NOD_Id = @id;
Params:
@id string
@state integer

SQL: dcsnode_ready
UPDATE t_dcsnode SET NOD_Ready = ifnull(@ready, 0) WHERE NOD_Id = @id;
Params:
@id string
@ready integer

SQL: dcsnode_clear
DELETE FROM t_dcsnode;

SQL: dcsnode_attach
UPDATE t_dcsnode SET NOD_Attached = 1, NOD_HostId = @hostid WHERE NOD_Id = @id;
Params:
@id string
@hostid string

SQL: dcsnode_detach
UPDATE t_dcsnode SET NOD_Attached = 0, NOD_HostId = NULL WHERE NOD_Id = @id;
Params:
@id string

-- Gateways
SQL: dcsgate_alload
SELECT GAT_Address AS address, GAT_Caption AS caption, GAT_Port AS port, GAT_Onlined AS onlined,
       GAT_LastTime AS lasttime, GAT_Remark AS remark
  FROM t_dcsgate ORDER BY GAT_Address;

SQL: dcsgate_acquit
SELECT GAT_Address AS address, GAT_Caption AS caption, GAT_Port AS port, GAT_Onlined AS onlined
  FROM t_dcsgate WHERE GAT_Address = @address LIMIT 1;
Params:
@address string

SQL: dcsgate_submit
UPDATE t_dcsgate SET GAT_Caption = @caption, GAT_Port = ifnull(@port, GAT_Port), GAT_Remark = @remark
 WHERE GAT_Address = @address;
Params:
@address string
@caption string
@port integer
@remark string

SQL: dcsgate_append
INSERT INTO t_dcsgate (GAT_Address, GAT_Caption, GAT_Port, GAT_Remark, GAT_LastTime)
VALUES (@address, @caption, ifnull(@port, 0), @remark, datetime('now', 'localtime'));
Params:
@address string
@caption string
@port integer
@remark string

SQL: dcsgate_change_onlined
UPDATE t_dcsgate SET GAT_Onlined = ifnull(@onlined, 0), GAT_LastTime = datetime('now', 'localtime')
 WHERE GAT_Address = @address;
Params:
@address string
@onlined integer

SQL: dcsgate_remove
DELETE FROM t_dcsgate WHERE GAT_Address = @address;
Params:
@address string

SQL: dcsgate_clear
DELETE FROM t_dcsgate;
