// Resource identifiers of the updater.
#pragma once

#define IDS_APPLYING_UPDATES 104
#define IDS_CLOSE 105
#define IDS_FINISHED 106
#define IDS_UPDATE_FAILED 107
#define IDS_INTRO 108
#define IDS_PACKAGE_ERROR 109
#define IDS_INSTALLING_UPDATE 110
